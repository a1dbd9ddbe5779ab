// The trend chart: several fields on one time axis (uPlot), each on its own
// value scale. Histories come reduced by the host to the chart's pixel
// columns, so a long range draws at once and its shape stays true; a zoom
// (drag across the chart) or a pan asks the host again for that interval.
// Gaps (no value) break the line; a value whose status is not good is drawn
// as a hollow point, so a status change shows without colour.

import uPlot from '../vendor/uPlot.esm.js';
import { chartHistory } from './api.js';
import { badStatus, numericValue, timeText, zoneName } from './format.js';

const COLOURS = ['#0b63ce', '#d95f02', '#1b9e77', '#7570b3', '#e7298a', '#66a61e'];
export const MAX_TAGS = COLOURS.length;

// Every field's points on the union of their times; null where a field has
// no value at that time, so that uPlot draws each on the same axis.
export function alignSeries(seriesList) {
  const times = new Set();
  seriesList.forEach((series) => series.times.forEach((t) => times.add(t)));
  const xs = Float64Array.from(times).sort();
  const index = new Map();
  xs.forEach((t, i) => index.set(t, i));
  const columns = seriesList.map((series) => {
    const ys = new Array(xs.length).fill(undefined);
    const bad = new Array(xs.length).fill(false);
    series.times.forEach((t, k) => {
      ys[index.get(t)] = series.values[k];
      bad[index.get(t)] = series.bad[k];
    });
    return { ys, bad };
  });
  return { xs: Array.from(xs), columns };
}

// A history answer's values as times (seconds), numbers and bad marks.
export function seriesOf(values) {
  const times = [];
  const numbers = [];
  const bad = [];
  for (const value of values) {
    const t = Date.parse(value.timestamp) / 1000;
    if (Number.isNaN(t)) continue;
    times.push(t);
    numbers.push(numericValue(value));
    bad.push(badStatus(value));
  }
  return { times, values: numbers, bad };
}

export class TrendChart {
  constructor(element, note, onRange) {
    this.element = element;
    this.note = note;
    this.onRange = onRange;
    this.tags = [];
    this.series = [];
    this.from = new Date(Date.now() - 86400e3);
    this.to = new Date();
    this.plot = null;
    this.loadNumber = 0;
    this.lastDrawMs = null;
  }

  has(record, field) {
    return this.tags.some((tag) => tag.record === record && tag.field === field);
  }

  add(record, field) {
    if (this.has(record, field) || this.tags.length >= MAX_TAGS) return false;
    this.tags.push({ record, field, colour: COLOURS[this.tags.length] });
    return true;
  }

  remove(record, field) {
    this.tags = this.tags.filter((tag) => !(tag.record === record && tag.field === field));
    this.tags.forEach((tag, i) => { tag.colour = COLOURS[i]; });
  }

  colourOf(record, field) {
    const tag = this.tags.find((t) => t.record === record && t.field === field);
    return tag ? tag.colour : null;
  }

  // Loads every field's history over from..to and draws; resolves with the
  // milliseconds from the first request to the drawn chart.
  async show(from, to) {
    const started = performance.now();
    this.from = from;
    this.to = to;
    this.onRange(from, to);
    const load = ++this.loadNumber;
    const points = Math.max(100, Math.min(4000, Math.round(this.element.clientWidth || 800)));
    const answers = await Promise.all(this.tags.map((tag) =>
      chartHistory(tag.record, tag.field, from, to, points).catch((error) => ({ error: error.message }))));
    if (load !== this.loadNumber) return null;  // a newer range was asked meanwhile
    const empty = { times: [], values: [], bad: [] };
    this.series = answers.map((answer) => (answer.error ? empty : seriesOf(answer.values)));
    const errors = answers.map((a, i) => (a.error ? `${this.tags[i].record} ${this.tags[i].field}: ${a.error}` : ''))
      .filter(Boolean);
    const raw = answers.reduce((sum, a) => sum + (a.raw || 0), 0);
    this.draw();
    this.lastDrawMs = performance.now() - started;
    this.note.textContent = errors.length ? errors.join('; ')
      : `${raw.toLocaleString()} values in range, ${this.drawnPoints().toLocaleString()} drawn; ` +
        `opened in ${this.lastDrawMs.toFixed(0)} ms`;
    return this.lastDrawMs;
  }

  drawnPoints() {
    return this.series.reduce((sum, s) => sum + s.times.length, 0);
  }

  // A live value of a field on the chart: appended, and with live follow
  // the interval moves so that its end is now.
  append(record, field, tagValue, follow) {
    const i = this.tags.findIndex((tag) => tag.record === record && tag.field === field);
    if (i < 0 || !this.series[i]) return;
    const t = Date.parse(tagValue.timestamp) / 1000;
    if (Number.isNaN(t)) return;
    const series = this.series[i];
    series.times.push(t);
    series.values.push(numericValue(tagValue));
    series.bad.push(badStatus(tagValue));
    if (follow) {
      const span = this.to - this.from;
      this.to = new Date(Math.max(Date.now(), t * 1000 + 1000));
      this.from = new Date(this.to.getTime() - span);
      this.onRange(this.from, this.to);
    }
    this.draw();
  }

  draw() {
    const { xs, columns } = alignSeries(this.series);
    const data = [xs, ...columns.map((c) => c.ys)];
    if (this.plot) this.plot.destroy();
    this.element.textContent = '';
    if (!this.tags.length) {
      this.plot = null;
      this.element.textContent = 'Choose fields in the browser on the left (+) to trend them.';
      return;
    }
    this.plot = new uPlot(this.options(columns), data, this.element);
  }

  options(columns) {
    const utc = zoneName() === 'UTC';
    const series = [{ value: (u, v) => (v == null ? '' : timeText(new Date(v * 1000))) }];
    const axes = [{ label: `Time (${zoneName()})`, labelSize: 20 }];
    const scales = { x: { time: true, min: this.from / 1000, max: this.to / 1000 } };
    this.tags.forEach((tag, i) => {
      const scale = `y${i}`;
      scales[scale] = { auto: true };
      const badPoints = columns[i].bad.flatMap((b, k) => (b ? [k] : []));
      series.push({
        label: `${tag.record} ${tag.field}`,
        scale,
        stroke: tag.colour,
        width: 1.5,
        spanGaps: false,
        // Sparse data shows every point; dense data only those of a bad status.
        points: {
          size: 7, fill: '#fff', stroke: tag.colour,
          filter: (u, seriesIdx, show) => (show || !badPoints.length ? null : badPoints),
        },
      });
      axes.push({ scale, side: i % 2 === 0 ? 3 : 1, stroke: tag.colour, grid: { show: i === 0 }, size: 60 });
    });
    return {
      width: this.element.clientWidth || 800,
      height: 380,
      series,
      axes,
      scales,
      tzDate: utc ? (ts) => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC') : undefined,
      cursor: { drag: { x: true, y: false, setScale: false } },
      hooks: {
        setSelect: [(u) => {
          if (u.select.width < 5) return;
          const from = new Date(u.posToVal(u.select.left, 'x') * 1000);
          const to = new Date(u.posToVal(u.select.left + u.select.width, 'x') * 1000);
          u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
          this.element.dispatchEvent(new CustomEvent('zoomed'));  // a zoomed view no longer follows live values
          this.show(from, to);
        }],
      },
    };
  }

  pan(fraction) {
    const shift = (this.to - this.from) * fraction;
    return this.show(new Date(this.from.getTime() + shift), new Date(this.to.getTime() + shift));
  }

  zoomOut() {
    const span = this.to - this.from;
    return this.show(new Date(this.from.getTime() - span / 2), new Date(this.to.getTime() + span / 2));
  }

  // The shown points as CSV: one row per time, one column per field.
  csv() {
    const { xs, columns } = alignSeries(this.series);
    const lines = [['time', ...this.tags.map((t) => `${t.record} ${t.field}`)].join(',')];
    xs.forEach((t, k) => {
      const row = [new Date(t * 1000).toISOString(), ...columns.map((c) => (c.ys[k] == null ? '' : c.ys[k]))];
      lines.push(row.join(','));
    });
    return lines.join('\n') + '\n';
  }
}
