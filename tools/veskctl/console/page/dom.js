// Small helpers to build elements: text always goes in as text nodes, never as markup, since
// names and serial numbers come from the machine.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === null || value === undefined || value === false) continue;
    node.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];

export function formatBytes(bytes) {
  if (typeof bytes !== 'number') return '';
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${value} B` : `${value.toFixed(1)} ${UNITS[unit]}`;
}

export function formatDuration(ms) {
  if (typeof ms !== 'number') return 'not known yet';
  const seconds = Math.round(ms / 1000);
  if (seconds < 60) return `${seconds} s`;
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return `${minutes} min ${String(seconds % 60).padStart(2, '0')} s`;
  return `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, '0')} min`;
}

// A name that comes from the machine, isolated from the text around it: a mark that reverses
// text (U+202E) in a drive's serial number or model turns that name alone.
export function bidi(text) {
  return el('bdi', {}, text);
}

// What identifies the focused element inside a container across a re-render: an identifier the
// page gives it, else its place among the container's elements.
function focusKey(container) {
  const active = document.activeElement;
  if (!active || active === container || !container.contains(active)) return null;
  for (const name of ['id', 'data-element-id', 'data-select']) {
    if (active.getAttribute(name)) return { name, value: active.getAttribute(name) };
  }
  const path = [];
  for (let node = active; node !== container; node = node.parentElement) {
    path.unshift([...node.parentElement.children].indexOf(node));
  }
  return { path, tag: active.tagName };
}

function findByKey(container, key) {
  if (key.name) return container.querySelector(`[${key.name}="${CSS.escape(key.value)}"]`);
  let node = container;
  for (const i of key.path) node = node && node.children[i];
  return node && node.tagName === key.tag ? node : null;
}

// Puts new content into a container that live updates re-render. Content that did not change is
// left alone; otherwise the focus goes back to the equivalent element, or to the container
// itself: never to the page's top, where a keyboard or screen reader user would have to start
// over at each record.
export function replaceKeepingFocus(container, ...children) {
  const fresh = document.createElement(container.tagName);
  fresh.append(...children.filter((c) => c !== null && c !== undefined));
  if (fresh.innerHTML === container.innerHTML) return false;
  const key = focusKey(container);
  container.replaceChildren(...fresh.childNodes);
  if (key) {
    const again = findByKey(container, key);
    if (again && !again.closest('[hidden]')) {
      again.focus({ preventScroll: true });
    } else {
      if (!container.hasAttribute('tabindex')) container.setAttribute('tabindex', '-1');
      container.focus({ preventScroll: true });
    }
  }
  return true;
}
