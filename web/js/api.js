// The host's HTTP interface as the page uses it: the session (login,
// logout, who is logged in), calls of the three services and the chart's
// reduced history. Every change carries the session's CSRF token.

let csrfToken = '';

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function send(method, path, body) {
  const headers = {};
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (method !== 'GET' && csrfToken) headers['X-CSRF-Token'] = csrfToken;
  const response = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    credentials: 'same-origin',
    cache: 'no-store',
  });
  const text = await response.text();
  let json = {};
  try {
    json = text ? JSON.parse(text) : {};
  } catch {
    json = { error: text };
  }
  if (!response.ok) {
    const message = json.reason || json.error || `${response.status} ${response.statusText}`;
    throw new ApiError(response.status, message);
  }
  return json;
}

export function csrf() {
  return csrfToken;
}

export async function login(user, password) {
  const session = await send('POST', '/v1/login', { user, password });
  csrfToken = session.csrf;
  return session;
}

// The session the browser's cookie names, or null when there is none.
export async function currentSession() {
  try {
    const session = await send('GET', '/v1/session');
    csrfToken = session.csrf;
    return session;
  } catch (error) {
    if (error.status === 401) return null;
    throw error;
  }
}

export async function logout() {
  await send('POST', '/v1/logout', {});
  csrfToken = '';
}

export async function call(service, operation, parameters = {}) {
  return (await send('POST', `/v1/${service}/${operation}`, parameters)).result;
}

// A field's history from..to (Date), reduced to `points` pixel columns.
export async function chartHistory(record, field, from, to, points) {
  const query = new URLSearchParams({
    record, field, from: from.toISOString(), to: to.toISOString(), points: String(points), outsiders: 'BothA',
  });
  return send('GET', `/v1/history?${query}`);
}
