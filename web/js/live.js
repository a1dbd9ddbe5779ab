// The live values stream (/v1/live): one WebSocket for the page, proven by
// the session cookie and the CSRF token offered as a subprotocol. It comes
// back after a lost connection and subscribes again to what was asked.

export class LiveValues {
  constructor(csrfToken, onUpdate, onState) {
    this.csrfToken = csrfToken;
    this.onUpdate = onUpdate;
    this.onState = onState;
    this.tags = {};
    this.closed = false;
    this.retry = 500;
    this.open();
  }

  open() {
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    this.socket = new WebSocket(`${scheme}://${location.host}/v1/live`, ['vntlive', `csrf.${this.csrfToken}`]);
    this.socket.onopen = () => {
      this.retry = 500;
      this.onState('live');
      if (Object.keys(this.tags).length) this.socket.send(JSON.stringify({ subscribe: this.tags }));
    };
    this.socket.onmessage = (event) => {
      const message = JSON.parse(event.data);
      if (message.updates) message.updates.forEach((update) => this.onUpdate(update));
      if (message.error) this.onState(`live: ${message.error}`);
    };
    this.socket.onclose = () => {
      if (this.closed) return;
      this.onState('live values lost; connecting again');
      setTimeout(() => this.open(), this.retry);
      this.retry = Math.min(this.retry * 2, 10000);
    };
  }

  subscribe(record, field) {
    const fields = this.tags[record] || (this.tags[record] = []);
    if (fields.includes(field)) return;
    fields.push(field);
    if (this.socket.readyState === WebSocket.OPEN) {
      this.socket.send(JSON.stringify({ subscribe: { [record]: [field] } }));
    }
  }

  unsubscribe(record, field) {
    const fields = this.tags[record];
    if (!fields) return;
    this.tags[record] = fields.filter((name) => name !== field);
    if (!this.tags[record].length) delete this.tags[record];
    if (this.socket.readyState === WebSocket.OPEN) {
      this.socket.send(JSON.stringify({ unsubscribe: { [record]: [field] } }));
    }
  }

  close() {
    this.closed = true;
    this.socket.close();
  }
}
