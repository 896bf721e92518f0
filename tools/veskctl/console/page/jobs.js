// Background work with a progress bar each: every volume with progress in the topology. The
// rate and the time left come from the `jobs` command's readings (its dry run, which saves
// nothing), fetched beside the topology; until they come they are not known.

import { el, formatDuration } from './dom.js';
import { controllersOf } from './tree.js';

export function runningWork(doc, readings) {
  const work = [];
  for (const c of controllersOf(doc)) {
    for (const v of c.volumes || []) {
      if (v.progress === null || v.progress === undefined) continue;
      const reading = readings.get(v.id) || {};
      work.push({ volumeId: v.id, volumeName: v.name, kind: reading.kind || v.stateName, percent: v.progress,
        ratePercentPerMinute: reading.ratePercentPerMinute ?? null, remainingMs: reading.remainingMs ?? null });
    }
  }
  return work;
}

// The readings of the `jobs` command's answer by volume.
export function readingsOf(answer) {
  const jobs = (answer && answer.result && answer.result.jobs) || [];
  return new Map(jobs.filter((j) => !j.outcome).map((j) => [j.volumeId, j]));
}

function rateText(rate) {
  return typeof rate === 'number' ? `${rate.toFixed(1)} %/min` : 'not known yet';
}

export function renderJobs(container, doc, readings) {
  const work = runningWork(doc, readings);
  if (!work.length) {
    container.replaceChildren(el('p', { class: 'hint' }, 'No background work is running.'));
    return;
  }
  container.replaceChildren(...work.map((j) => {
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
  bar.setAttribute('value', String(percent));
  bar.setAttribute('aria-valuenow', String(percent));
  const text = bar.parentElement.querySelector('.percent');
  if (text) text.textContent = `${percent}%`;
  return true;
}
