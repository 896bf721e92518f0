// Background work with a progress bar each. The topology's own job list gives the rate and the
// time left; without one, every volume with progress is shown with them not known.

import { el, formatDuration } from './dom.js';
import { controllersOf } from './tree.js';

export function jobsOf(doc) {
  const given = (doc && doc.result && doc.result.jobs) || (doc && doc.jobs);
  const jobs = Array.isArray(given) ? given : (given && given.jobs) || null;
  if (jobs) return jobs;
  const derived = [];
  for (const c of controllersOf(doc)) {
    for (const v of c.volumes || []) {
      if (v.progress === null || v.progress === undefined) continue;
      derived.push({ volumeId: v.id, volumeName: v.name, kind: v.stateName, percent: v.progress,
        ratePercentPerMinute: null, remainingMs: null });
    }
  }
  return derived;
}

function rateText(rate) {
  return typeof rate === 'number' ? `${rate.toFixed(1)} %/min` : 'not known yet';
}

export function renderJobs(container, doc) {
  const jobs = jobsOf(doc).filter((j) => !j.outcome);
  if (!jobs.length) {
    container.replaceChildren(el('p', { class: 'hint' }, 'No background work is running.'));
    return;
  }
  container.replaceChildren(...jobs.map((j) => {
    const barId = `progress-${j.volumeId}`;
    return el('div', { class: 'job', 'data-volume-id': j.volumeId },
      el('label', { for: barId }, `${j.kind} of volume ${j.volumeName}`),
      el('progress', { id: barId, max: '100', value: String(j.percent), 'data-volume-id': j.volumeId,
        'aria-valuenow': String(j.percent), 'aria-valuemin': '0', 'aria-valuemax': '100' }),
      el('span', { class: 'percent' }, `${j.percent}%`),
      el('span', { class: 'rate' }, `rate ${rateText(j.ratePercentPerMinute)}`),
      el('span', { class: 'left' }, `left ${formatDuration(j.remainingMs)}`));
  }));
}

// A progress record moves the bar at once; the rate and time left follow with the topology.
export function applyProgress(container, volumeId, percent) {
  const bar = container.querySelector(`progress[data-volume-id="${CSS.escape(volumeId)}"]`);
  if (!bar || typeof percent !== 'number') return false;
  bar.value = percent;
  bar.setAttribute('aria-valuenow', String(percent));
  const text = bar.parentElement.querySelector('.percent');
  if (text) text.textContent = `${percent}%`;
  return true;
}
