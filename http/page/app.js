// The boards a `tambrook-cli serve --http` holds, one card each, kept live by one WebSocket that
// watches them all. Everything that comes from a board (ids, labels, names) is put on the page as
// text, never parsed as markup: a label is whatever the user typed into labels.dat.
'use strict';

const api = '/api/v1';
const relayCount = 8;
// Boards come and go under `serve --all`; a watch only tells about the boards it names.
const pollInterval = 3000;
// Soon enough that a board's changes are missed for about a second at most after a server restart.
const reconnectDelay = 1000;
// The server leaves the rows' texts out of a larger program.
const maxProgramRows = 10000;

function errorText(answer) {
    if (answer.json && typeof answer.json.error === 'string')
        return answer.json.error;
    return answer.status ? `the server answered ${answer.status}` : 'the server cannot be reached';
}

function boardPath(id) {
    return `/boards/${encodeURIComponent(id)}`;
}

function isState(json) {
    return json !== null && typeof json === 'object' && typeof json.id === 'string' &&
           ('relays' in json || 'known' in json);
}

// Relay n's state as the board tells it: true, false, or null while it is unknown (a board that
// cannot read back, before the relay was set).
function relayState(state, n) {
    const pattern = typeof state.relays === 'string' ? state.relays : state.known;
    const bit = typeof pattern === 'string' ? pattern.charAt(n - 1) : '?';
    return bit === '1' ? true : bit === '0' ? false : null;
}

function relaysOf(state) {
    return Number.isInteger(state.relayCount) ? state.relayCount : relayCount;
}

function labelOf(state, n, on) {
    const pair = Array.isArray(state.labels) ? state.labels[n - 1] : null;
    const text = pair ? (on ? pair.off : pair.on) : null;
    // The window's default labels, for a server that does not send them.
    return typeof text === 'string' ? text : `Relay ${n} ${on ? 'OFF' : 'ON'}`;
}

function nameOf(state, n) {
    const names = state.names;
    return names && typeof names[String(n)] === 'string' ? names[String(n)] : '';
}

function setText(element, text) {
    if (element.textContent !== text)
        element.textContent = text;
}

class Card {
    constructor(page, id) {
        this.page = page;
        this.id = id;
        this.state = null;
        // The rows' step texts, asked for when the rows are new (another count, or a run that
        // started), since the watch tells only which row is current.
        this.program = [];
        this.programAsked = null;
        // Whether the page's socket watches this board, and whether it has told its state since.
        this.watched = false;
        this.live = false;
        this.served = true;
        this.pendingRelays = new Set();
        // Relay number -> when its pulse ends (Date.now() time); the state tells the time left as
        // it was sent, and the card counts it down between changes.
        this.pulseEnds = new Map();
        this.pulseTimer = 0;

        const fragment = document.getElementById('card-template').content.cloneNode(true);
        this.root = fragment.querySelector('.card');
        const headingId = page.nextHeadingId();
        this.root.dataset.board = id;
        this.root.setAttribute('aria-labelledby', headingId);
        const heading = this.root.querySelector('.board-id');
        heading.id = headingId;
        heading.textContent = id;
        this.presence = this.root.querySelector('.presence');
        this.holder = this.root.querySelector('.holder');
        this.problem = this.root.querySelector('.problem');
        this.allOn = this.root.querySelector('.all-on');
        this.allOff = this.root.querySelector('.all-off');
        this.programFile = this.root.querySelector('.program-file');
        this.play = this.root.querySelector('.play');
        this.stop = this.root.querySelector('.stop');
        this.pause = this.root.querySelector('.pause');
        this.runState = this.root.querySelector('.run-state');
        this.step = this.root.querySelector('.step');

        const group = this.root.querySelector('.relays');
        this.relayButtons = [];
        for (let n = 1; n <= relayCount; ++n)
            this.relayButtons.push(group.appendChild(this.makeRelayButton(n)));
        this.allOn.addEventListener('click', () => this.switchAll(true));
        this.allOff.addEventListener('click', () => this.switchAll(false));
        this.play.addEventListener('click', () => this.playProgram());
        this.stop.addEventListener('click', () => this.send('POST', '/program/stop'));
        this.pause.addEventListener('click', () => this.send(
            'POST', this.state && this.state.run === 'paused' ? '/program/resume'
                                                                : '/program/pause'));
        this.programFile.addEventListener('change', () => this.showControls());
        this.showPrograms();
        this.showControls();
    }

    makeRelayButton(n) {
        const button = document.createElement('button');
        button.type = 'button';
        button.className = 'relay';
        button.setAttribute('role', 'switch');
        button.setAttribute('aria-checked', 'false');
        button.dataset.board = this.id;
        button.dataset.relay = String(n);
        const number = button.appendChild(document.createElement('span'));
        number.className = 'relay-number';
        number.textContent = String(n);
        button.appendChild(document.createElement('span')).className = 'relay-label';
        button.appendChild(document.createElement('span')).className = 'relay-name';
        button.appendChild(document.createElement('span')).className = 'relay-pulse';
        button.addEventListener('click', () => this.toggleRelay(n));
        return button;
    }

    usable() {
        return this.served && this.live && this.state !== null && this.state.present === true;
    }

    show(state) {
        // A failure said while the board was away, or before it went, is not news once it is
        // back: its switches work again.
        if (this.state && this.state.present !== true && state.present === true)
            setText(this.problem, '');
        this.state = state;
        if (Array.isArray(state.program))
            this.program = state.program;
        this.served = true;
        this.root.classList.toggle('absent', state.present !== true);
        setText(this.presence, state.present === true ? 'present' : 'absent');
        const pid = Number.isInteger(state.pid) ? ` (pid ${state.pid})` : '';
        const holder = typeof state.holder === 'string' ? `held by ${state.holder}${pid}` : '';
        setText(this.holder, holder);
        this.takePulses(state);
        this.relayButtons.forEach((button, index) => this.showRelay(button, index + 1));
        this.showRun();
        this.showControls();
    }

    showRelay(button, n) {
        const state = this.state;
        const on = relayState(state, n);
        const label = labelOf(state, n, on === true);
        const name = nameOf(state, n);
        button.setAttribute('aria-checked', on === true ? 'true' : 'false');
        button.classList.toggle('unknown', on === null);
        setText(button.querySelector('.relay-label'), label);
        setText(button.querySelector('.relay-name'), name);
        const named = name ? ` (${name})` : '';
        const unknown = on === null ? ', state unknown' : '';
        const pulsed = this.pulseEnds.has(n) ? ', pulsed' : '';
        const accessibleName = `Relay ${n}${named}: ${label}${unknown}${pulsed}`;
        if (button.getAttribute('aria-label') !== accessibleName)
            button.setAttribute('aria-label', accessibleName);
    }

    takePulses(state) {
        this.pulseEnds.clear();
        const now = Date.now();
        if (state.pending && typeof state.pending === 'object')
            for (const [relay, left] of Object.entries(state.pending))
                if (Number.isFinite(left))
                    this.pulseEnds.set(Number(relay), now + left);
        this.showPulses();
        if (this.pulseEnds.size > 0 && !this.pulseTimer)
            this.pulseTimer = setInterval(() => this.showPulses(), 200);
        else if (this.pulseEnds.size === 0 && this.pulseTimer) {
            clearInterval(this.pulseTimer);
            this.pulseTimer = 0;
        }
    }

    showPulses() {
        const now = Date.now();
        this.relayButtons.forEach((button, index) => {
            const end = this.pulseEnds.get(index + 1);
            const text = end === undefined
                             ? ''
                             : `off in ${(Math.max(0, end - now) / 1000).toFixed(1)} s`;
            setText(button.querySelector('.relay-pulse'), text);
        });
    }

    showRun() {
        const state = this.state;
        const run = state.run === 'running' ? 'Running' : state.run === 'paused' ? 'Paused'
                                                                                : 'Stopped';
        setText(this.runState, run);
        setText(this.pause, state.run === 'paused' ? 'Resume' : 'Pause');
        const rows = Number.isInteger(state.rows) ? state.rows : 0;
        const row = Number.isInteger(state.row) ? state.row : 0;
        let text = rows > 0 ? `Row ${Math.min(row + 1, rows)} of ${rows}` : 'No program loaded';
        // The current row as it stands (its delay counts down while it is held); the others as
        // the rows were last sent.
        const step = typeof state.step === 'string' ? state.step
                     : rows === this.program.length ? this.program[row] : undefined;
        if (typeof step === 'string')
            text += `: ${step}`;
        setText(this.step, text);
    }

    // Controls are enabled only while what they show is known to be current: a board absent, or
    // a stream that dropped, leaves nothing to act on but what may be stale.
    showControls() {
        const usable = this.usable();
        const relays = this.state ? relaysOf(this.state) : relayCount;
        this.relayButtons.forEach((button, index) => {
            button.disabled = !usable || index + 1 > relays;
        });
        this.allOn.disabled = !usable;
        this.allOff.disabled = !usable;
        const reachable = this.served && this.live && this.state !== null;
        const run = this.state ? this.state.run : 'idle';
        this.stop.disabled = !reachable || run === 'idle';
        this.pause.disabled = !reachable || run === 'idle';
        this.programFile.disabled = this.page.programs.length === 0;
        this.play.disabled = !usable || this.programFile.value === '';
    }

    showPrograms() {
        const chosen = this.programFile.value;
        const options = this.page.programs;
        const current = Array.from(this.programFile.options, (option) => option.value);
        if (current.length === options.length + 1 && options.every((p, i) => current[i + 1] === p))
            return;
        this.programFile.replaceChildren();
        const placeholder = this.programFile.appendChild(document.createElement('option'));
        placeholder.value = '';
        placeholder.textContent = options.length ? 'Choose a file' : 'No program files';
        for (const name of options) {
            const option = this.programFile.appendChild(document.createElement('option'));
            option.value = name;
            option.textContent = name;
        }
        if (options.includes(chosen))
            this.programFile.value = chosen;
        this.showControls();
    }

    setLive(live) {
        this.live = live;
        this.root.classList.toggle('stale', !live);
        if (!live && this.served)
            setText(this.presence, this.page.signedOut ? 'not signed in' : 'reconnecting');
        else if (this.state)
            this.show(this.state);
        this.showControls();
    }

    // The board is no longer in the server's list: it shows what it last was, with nothing to
    // press, until it is listed again (and watched again: the server's watch of it ended).
    setUnserved() {
        this.served = false;
        this.watched = false;
        this.live = false;
        this.root.classList.add('absent');
        setText(this.presence, 'not served');
        this.showControls();
    }

    // A state the socket told: the first after a watch makes the card live.
    take(state) {
        const started = this.state !== null && this.state.run === 'idle' && state.run !== 'idle';
        if (!this.live)
            this.setLive(true);
        this.show(state);
        const rows = Number.isInteger(state.rows) ? state.rows : 0;
        if (Array.isArray(state.program))
            this.programAsked = rows; // told with the state: nothing to ask
        else if (rows > 0 && rows <= maxProgramRows && (rows !== this.programAsked || started))
            this.askProgram(rows);
    }

    async askProgram(rows) {
        this.programAsked = rows;
        const answer = await this.page.call('GET', boardPath(this.id));
        if (answer.ok && answer.json && Array.isArray(answer.json.program)) {
            this.program = answer.json.program;
            if (this.state)
                this.showRun();
        }
    }

    async send(method, path, body) {
        const answer = await this.page.call(method, boardPath(this.id) + path, body);
        if (!answer.ok) {
            setText(this.problem, errorText(answer));
            return answer;
        }
        setText(this.problem, '');
        // The watch tells every change in order; an answer could be older than a change already
        // shown, so it is shown only while nothing is watched.
        if (!this.live && isState(answer.json))
            this.show(answer.json);
        return answer;
    }

    async toggleRelay(n) {
        // A second click before the first is answered would repeat the first's write rather than
        // undo it: the state shown is not yet the new one.
        if (!this.usable() || this.pendingRelays.has(n))
            return;
        this.pendingRelays.add(n);
        try {
            await this.send('PUT', `/relays/${n}`, {on: relayState(this.state, n) !== true});
        } finally {
            this.pendingRelays.delete(n);
        }
    }

    switchAll(on) {
        if (!this.usable())
            return;
        // Relays past the board's count stay 0: naming one is refused.
        const relays = relaysOf(this.state);
        const pattern = (on ? '1' : '0').repeat(relays) + '0'.repeat(relayCount - relays);
        this.send('PUT', '/relays', {relays: pattern});
    }

    playProgram() {
        const name = this.programFile.value;
        if (name && this.usable())
            this.send('POST', '/program', {name});
    }
}

// The page: the cards in the server's order, the programs folder's files, and whether the server
// still takes this page's cookie.
class Page {
    constructor() {
        this.cards = new Map();
        this.programs = [];
        this.signedOut = false;
        this.headings = 0;
        this.container = document.getElementById('boards');
        this.socket = null;
        this.reconnect = 0;
    }

    // One socket watches every board: a browser keeps at most six HTTP connections to a server,
    // which an event stream per board would use up with six boards, leaving none for the
    // switches' requests.
    connect() {
        const scheme = window.location.protocol === 'https:' ? 'wss:' : 'ws:';
        const socket = new WebSocket(`${scheme}//${window.location.host}${api}/ws`);
        this.socket = socket;
        socket.addEventListener('open', () => {
            for (const card of this.cards.values())
                this.watch(card);
        });
        socket.addEventListener('message', (event) => {
            let message;
            try {
                message = JSON.parse(event.data);
            } catch {
                return;
            }
            const card = isState(message) ? this.cards.get(message.id) : undefined;
            if (card && card.watched && card.served)
                card.take(message);
        });
        socket.addEventListener('close', () => {
            if (socket !== this.socket)
                return;
            this.socket = null;
            for (const card of this.cards.values()) {
                card.watched = false;
                card.setLive(false);
            }
            // The browser does not reconnect a WebSocket; the poll tries again should this fail.
            if (!this.signedOut)
                this.reconnect = setTimeout(() => {
                    this.reconnect = 0;
                    this.connect();
                }, reconnectDelay);
        });
    }

    watch(card) {
        if (card.watched || !this.socket || this.socket.readyState !== WebSocket.OPEN)
            return;
        this.socket.send(JSON.stringify({request: 'watch', board: card.id}));
        card.watched = true;
    }

    nextHeadingId() {
        return `board-${++this.headings}`;
    }

    // An answer of the server as a value: `ok`, the HTTP status (0 when nothing answered) and
    // the JSON body if there was one.
    async call(method, path, body) {
        const init = {method, credentials: 'same-origin', cache: 'no-store', headers: {}};
        if (body !== undefined) {
            init.headers['Content-Type'] = 'application/json';
            init.body = JSON.stringify(body);
        }
        let response;
        try {
            response = await fetch(api + path, init);
        } catch {
            return {ok: false, status: 0, json: {error: 'the server cannot be reached'}};
        }
        let json = null;
        try {
            json = await response.json();
        } catch {
            // An empty or non-JSON body: the status says enough.
        }
        if (response.status === 401)
            this.showSignedOut();
        return {ok: response.ok, status: response.status, json};
    }

    showConnection(text) {
        setText(document.getElementById('connection'), text);
    }

    showSignedOut() {
        if (this.signedOut)
            return;
        this.signedOut = true;
        // Nothing will be taken until the page is opened again with the token: it says so,
        // rather than offer switches that would each be refused.
        clearTimeout(this.reconnect);
        if (this.socket) {
            const socket = this.socket;
            this.socket = null;
            socket.close();
        }
        for (const card of this.cards.values())
            card.setLive(false);
        this.showConnection('Not signed in: open the address `serve` logged, with its token.');
    }

    showBoards(states) {
        const listed = new Set();
        const valid = states.filter(isState);
        valid.forEach((state, index) => {
            listed.add(state.id);
            let card = this.cards.get(state.id);
            if (!card) {
                card = new Card(this, state.id);
                this.cards.set(state.id, card);
                // In the server's order, the cards there already left where they are: moving one
                // would take the focus from a switch.
                const next = valid.slice(index + 1).find((later) => this.cards.has(later.id));
                this.container.insertBefore(card.root, next ? this.cards.get(next.id).root : null);
            }
            if (!card.live)
                card.show(state);
            this.watch(card);
        });
        for (const [id, card] of this.cards)
            if (!listed.has(id) && card.served)
                card.setUnserved();
        document.getElementById('no-boards').hidden = this.cards.size > 0;
    }

    async refreshPrograms() {
        const answer = await this.call('GET', '/programs');
        const list = answer.ok && answer.json && Array.isArray(answer.json.programs)
                         ? answer.json.programs.filter((name) => typeof name === 'string')
                         : [];
        const same = list.length === this.programs.length &&
                     list.every((name, i) => this.programs[i] === name);
        if (same)
            return;
        this.programs = list;
        for (const card of this.cards.values())
            card.showPrograms();
    }

    async refreshBoards() {
        const answer = await this.call('GET', '/boards');
        if (this.signedOut)
            return;
        if (!answer.ok || !answer.json || !Array.isArray(answer.json.boards)) {
            this.showConnection(answer.status ? `The server answered ${answer.status}`
                                              : 'The server cannot be reached; trying again…');
            return;
        }
        this.showConnection('');
        this.showBoards(answer.json.boards);
        if (!this.socket && !this.reconnect)
            this.connect();
        await this.refreshPrograms();
    }

    async poll() {
        await this.refreshBoards();
        if (!this.signedOut)
            setTimeout(() => this.poll(), pollInterval);
    }
}

// The token is in the address only to be traded for a cookie; it should not stay in the history,
// nor in a bookmark or a screenshot of the address bar.
function dropTokenFromAddress() {
    const url = new URL(window.location.href);
    if (!url.searchParams.has('token'))
        return;
    url.searchParams.delete('token');
    history.replaceState(history.state, '', url.pathname + url.search + url.hash);
}

dropTokenFromAddress();
new Page().poll();
