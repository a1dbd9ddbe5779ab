// How the page writes values, qualities and times: values as the tool
// prints them, status and level as numbers with a colour and a mark that
// stay apart for a colour-blind reader, times in the browser's zone (or UTC).

let utc = false;

// A value without quality carries these (the contracts' kNoStatus, kNoLevel); the tool leaves them blank.
export const NO_STATUS = -32768;
export const NO_LEVEL = -1;

export function badStatus(tagValue) {
  return tagValue.status !== undefined && tagValue.status !== 0 && tagValue.status !== NO_STATUS;
}

export function setUtc(on) {
  utc = on;
}

export function zoneName() {
  return utc ? 'UTC' : Intl.DateTimeFormat().resolvedOptions().timeZone;
}

// The number or text of a value in the contracts' form ({"double": 1.5}).
export function plainValue(value) {
  if (value === null || value === undefined) return null;
  if (typeof value !== 'object') return value;
  const kinds = Object.keys(value);
  return kinds.length === 0 ? null : value[kinds[0]];
}

export function numericValue(tagValue) {
  const value = plainValue(tagValue.value);
  return typeof value === 'number' && Number.isFinite(value) ? value : null;
}

export function valueText(tagValue) {
  const value = plainValue(tagValue.value);
  if (value === null || value === undefined) return '(none)';
  if (typeof value === 'number') return String(value);
  if (typeof value === 'object') return JSON.stringify(value);
  return String(value);
}

const pad = (n, width = 2) => String(n).padStart(width, '0');

export function timeText(date) {
  if (!(date instanceof Date) || Number.isNaN(date.getTime())) return '';
  const parts = utc
    ? [date.getUTCFullYear(), date.getUTCMonth() + 1, date.getUTCDate(), date.getUTCHours(), date.getUTCMinutes(),
      date.getUTCSeconds()]
    : [date.getFullYear(), date.getMonth() + 1, date.getDate(), date.getHours(), date.getMinutes(), date.getSeconds()];
  return `${parts[0]}-${pad(parts[1])}-${pad(parts[2])} ${pad(parts[3])}:${pad(parts[4])}:${pad(parts[5])}`;
}

// A quality cell: good (0) is blue with a check; any other status is
// orange with a cross; a level above 0 is dark purple with a bell.
export function qualityCell(cell, kind, number) {
  cell.textContent = '';
  if (number === undefined || number === null) return;
  if ((kind === 'status' && number === NO_STATUS) || (kind === 'level' && number === NO_LEVEL)) return;
  const mark = document.createElement('span');
  let look = 'good';
  let sign = '✓';
  if (kind === 'status' && number !== 0) {
    look = 'bad';
    sign = '✗';
  } else if (kind === 'level' && number > 0) {
    look = 'alarm';
    sign = '🔔';
  }
  mark.className = `quality ${look}`;
  mark.textContent = `${sign} ${number}`;
  mark.title = kind === 'status' ? (number === 0 ? 'good status' : 'bad status') : `level ${number}`;
  cell.append(mark);
}
