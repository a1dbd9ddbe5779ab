// The page's start: the login, the plant browser, the current values that
// follow the live stream, and the trend chart's controls.

import * as api from './api.js';
import { LiveValues } from './live.js';
import { qualityCell, setUtc, timeText, valueText } from './format.js';
import { MAX_TAGS, TrendChart } from './trend.js';

const $ = (id) => document.getElementById(id);
const state = { live: null, records: new Map(), definitions: [], chosenRecord: null };
let chart = null;

function status(text) {
  $('status').textContent = text;
}

function item(text, detail, onClick) {
  const li = document.createElement('li');
  li.textContent = text;
  if (detail) {
    const small = document.createElement('small');
    small.textContent = detail;
    li.append(small);
  }
  li.tabIndex = 0;
  li.addEventListener('click', () => onClick(li));
  li.addEventListener('keydown', (event) => { if (event.key === 'Enter') onClick(li); });
  return li;
}

function choose(list, li) {
  list.querySelectorAll('li.chosen').forEach((other) => other.classList.remove('chosen'));
  li.classList.add('chosen');
}

// --- the plant browser ---

async function loadDefinitions() {
  state.definitions = (await api.call('management', 'GetAllDefinitionTags')) || [];
  const select = $('definitions');
  select.textContent = '';
  select.append(new Option('(every definition)', ''));
  state.definitions.forEach((name) => select.append(new Option(name, name)));
  const byDefinition = await api.call('management', 'GetTagNamesByDefinition', { definitonTags: state.definitions });
  state.records.clear();
  for (const [definition, records] of Object.entries(byDefinition || {})) {
    (records || []).forEach((record) => state.records.set(record, definition));
  }
  showRecords();
}

// "TI*", "*101", "T?10?": * any run, ? one character, case ignored.
export function wildcard(pattern) {
  const escaped = pattern.trim().replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*').replace(/\?/g, '.');
  return new RegExp(pattern.includes('*') || pattern.includes('?') ? `^${escaped}$` : escaped, 'i');
}

function showRecords() {
  const definition = $('definitions').value;
  const pattern = wildcard($('search').value || '*');
  const list = $('records');
  list.textContent = '';
  const names = [...state.records.keys()].sort()
    .filter((name) => (!definition || state.records.get(name) === definition) && pattern.test(name));
  names.slice(0, 500).forEach((name) => {
    list.append(item(name, state.records.get(name), (li) => { choose(list, li); showFields(name); }));
  });
  if (names.length > 500) status(`${names.length} records match; the first 500 are listed`);
}

async function showFields(record) {
  state.chosenRecord = record;
  const definition = state.records.get(record);
  $('fields-title').textContent = `Fields of ${record}`;
  const list = $('fields');
  list.textContent = '';
  const definitions = await api.call('management', 'GetFieldDefinitions', { definitionTags: [definition] });
  const fields = (definitions && definitions[definition]) || [];
  fields.forEach((field) => {
    const name = field.name || field.Name || field.fieldName || String(field);
    const li = item(name, fieldKind(field), () => addTag(record, name, field.dataType));
    li.dataset.field = name;
    li.title = `Add ${record} ${name} to the trend`;
    list.append(li);
  });
}

function fieldKind(field) {
  const kind = field.type || field.dataType || field.Type || '';
  return `${typeof kind === 'string' ? kind : ''} +`;
}

// --- current values and the trend ---

function rowOf(record, field) {
  return document.querySelector(`#values tr[data-tag="${CSS.escape(`${record} ${field}`)}"]`);
}

// The contracts' value kinds by a field's data type.
const VALUE_KINDS = { Double: 'double', Single: 'float', Int16: 'int16', Int32: 'int32', String: 'text' };

// Writes a value the user types, after a confirmation; the host refuses it
// when the account may not write the field, and the refusal is shown.
async function writeValue(record, field, dataType) {
  const kind = VALUE_KINDS[dataType];
  if (!kind) {
    status(`${record} ${field}: the page writes numbers and texts only`);
    return;
  }
  const typed = window.prompt(`New value of ${record} ${field} (${dataType}), status 0, time now:`);
  if (typed === null || typed.trim() === '') return;
  const value = kind === 'text' ? typed : Number(typed);
  if (kind !== 'text' && !Number.isFinite(value)) {
    status(`${typed} is not a number`);
    return;
  }
  if (!window.confirm(`Write ${typed} to ${record} ${field} as ${$('who').textContent}?`)) return;
  try {
    const timestamp = `${new Date().toISOString().slice(0, 19)}Z`;
    const written = { value: { [kind]: value }, timestamp, status: 0 };
    await api.call('access', 'SetTagValues', { tagValueList: { [record]: { [field]: [written] } } });
    status(`wrote ${typed} to ${record} ${field}`);
  } catch (error) {
    status(`${record} ${field} was not written: ${error.message}`);
  }
}

async function addTag(record, field, dataType) {
  if (chart.has(record, field)) return;
  if (!chart.add(record, field)) {
    status(`the trend holds at most ${MAX_TAGS} fields`);
    return;
  }
  const row = document.createElement('tr');
  row.dataset.tag = `${record} ${field}`;
  row.innerHTML = '<td></td><td></td><td class="num"></td><td></td><td></td><td></td><td></td>';
  const swatch = document.createElement('span');
  swatch.className = 'swatch';
  swatch.style.background = chart.colourOf(record, field);
  row.cells[0].append(swatch, record);
  row.cells[1].textContent = field;
  const remove = document.createElement('button');
  remove.type = 'button';
  remove.textContent = '✕';
  remove.title = 'Remove from the trend';
  remove.addEventListener('click', () => removeTag(record, field));
  const write = document.createElement('button');
  write.type = 'button';
  write.textContent = 'Write';
  write.title = `Write a value to ${record} ${field}`;
  write.addEventListener('click', () => writeValue(record, field, dataType));
  row.cells[6].append(write, ' ', remove);
  $('values').tBodies[0].append(row);
  try {
    const values = await api.call('access', 'GetTagValues', { tagList: { [record]: [field] } });
    const first = values && values[record] && values[record][field] && values[record][field][0];
    if (first) showValue(record, field, first);
  } catch (error) {
    row.cells[2].textContent = error.message;
  }
  state.live.subscribe(record, field);
  await chart.show(chart.from, chart.to);
}

function removeTag(record, field) {
  chart.remove(record, field);
  state.live.unsubscribe(record, field);
  const row = rowOf(record, field);
  if (row) row.remove();
  document.querySelectorAll('#values tbody tr').forEach((other) => {
    const [r, f] = other.dataset.tag.split(' ');
    other.querySelector('.swatch').style.background = chart.colourOf(r, f);
  });
  chart.show(chart.from, chart.to);
}

function showValue(record, field, tagValue) {
  const row = rowOf(record, field);
  if (!row) return;
  row.cells[2].textContent = valueText(tagValue);
  qualityCell(row.cells[3], 'status', tagValue.status);
  qualityCell(row.cells[4], 'level', tagValue.level);
  row.cells[5].textContent = tagValue.timestamp ? timeText(new Date(tagValue.timestamp)) : '';
}

function onLiveUpdate(update) {
  if (update.refused) {
    status(update.refused);
    return;
  }
  if (!update.values || !update.values.length) return;
  const latest = update.values[update.values.length - 1];
  showValue(update.record, update.field, latest);
  update.values.forEach((value) => chart.append(update.record, update.field, value, $('follow').checked));
}

// --- time ranges ---

function localInput(date) {
  const shifted = new Date(date.getTime() - date.getTimezoneOffset() * 60000);
  return shifted.toISOString().slice(0, 19);
}

function showRange(from, to) {
  $('from').value = localInput(from);
  $('to').value = localInput(to);
}

function wireControls() {
  document.querySelectorAll('[data-range]').forEach((button) => {
    button.addEventListener('click', () => {
      const to = new Date();
      $('follow').checked = true;  // "the last hour" keeps moving with the live values
      chart.show(new Date(to.getTime() - Number(button.dataset.range) * 1000), to);
    });
  });
  $('apply-range').addEventListener('click', () => {
    const from = new Date($('from').value);
    const to = new Date($('to').value);
    if (Number.isNaN(from.getTime()) || Number.isNaN(to.getTime()) || from >= to) {
      status('the range needs a start before its end');
      return;
    }
    $('follow').checked = false;
    chart.show(from, to);
  });
  $('pan-back').addEventListener('click', () => { $('follow').checked = false; chart.pan(-0.5); });
  $('pan-forward').addEventListener('click', () => chart.pan(0.5));
  $('zoom-out').addEventListener('click', () => chart.zoomOut());
  $('chart').addEventListener('zoomed', () => { $('follow').checked = false; });
  $('utc').addEventListener('change', () => {
    setUtc($('utc').checked);
    chart.draw();
  });
  $('csv').addEventListener('click', () => {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([chart.csv()], { type: 'text/csv' }));
    link.download = 'trend.csv';
    link.click();
    URL.revokeObjectURL(link.href);
  });
  $('search').addEventListener('input', showRecords);
  $('definitions').addEventListener('change', showRecords);
  window.addEventListener('resize', () => chart.draw());
}

// --- session ---

async function enter(session) {
  $('login').hidden = true;
  $('app').hidden = false;
  $('who').textContent = `${session.account}`;
  state.live = new LiveValues(api.csrf(), onLiveUpdate, status);
  chart.draw();
  await loadDefinitions();
  status('ready');
}

function wireLogin() {
  $('login-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    $('login-error').textContent = '';
    try {
      const session = await api.login($('login-user').value, $('login-password').value);
      $('login-password').value = '';
      await enter(session);
    } catch (error) {
      $('login-error').textContent = error.message;
    }
  });
  $('logout').addEventListener('click', async () => {
    try {
      await api.logout();
    } finally {
      if (state.live) state.live.close();
      location.reload();
    }
  });
}

async function start() {
  chart = new TrendChart($('chart'), $('chart-note'), showRange);
  window.vntTrend = chart;  // for the browser tests: the last draw's time in ms
  wireControls();
  wireLogin();
  const session = await api.currentSession();
  if (session) {
    await enter(session);
  } else {
    $('login').hidden = false;
    $('login-user').focus();
  }
}

start().catch((error) => status(error.message));
