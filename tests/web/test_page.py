#!/usr/bin/env python3
"""The page of `tambrook-cli serve --http` in a real, headless Chromium.

Each test starts its own `serve` on simulated boards, in a folder of its own, and drives the page
the server serves through Selenium.

    test_page.py TAMBROOK_CLI [unittest arguments]

Exits 77 (skipped) only when Chromium or chromedriver is not installed.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from urllib.parse import urlsplit

SKIPPED = 77
CHROMEDRIVER = shutil.which('chromedriver') or '/usr/bin/chromedriver'
CHROMIUM = shutil.which('chromium') or shutil.which('chromium-browser')

# python3-selenium is one of the packages scripts/install-deps.sh installs: without it this fails.
from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

CLI = None  # set from the command line

HOSTILE_ON = '<style onload=go()>'  # 19 bytes: a labels.dat field holds no more
HOSTILE_OFF = '<b>bold</b>&amp;'
HOSTILE_NAME = '<img src=x onerror=alert(1)>'


def labels_image(labels):
    """labels.dat: sixteen 20-byte fields, relay n's ON label in field n-1, its OFF in 7+n."""
    fields = [f'Relay {n} ON' for n in range(1, 9)] + [f'Relay {n} OFF' for n in range(1, 9)]
    for relay, (on, off) in labels.items():
        fields[relay - 1], fields[relay + 7] = on, off
    return b''.join(f.encode('latin-1')[:19].ljust(20, b'\0') for f in fields)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


# A sanitized serve runs several times slower; the build says how much more time it is given.
SLOWER = float(os.environ.get('TAMBROOK_TEST_SLOWER', '1'))


def wait_until(condition, timeout=5.0, message='condition'):
    timeout *= SLOWER
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except StaleElementReferenceException:
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(
                f'timed out after {timeout} s waiting for {message} (last: {value!r})')
        time.sleep(0.02)


class Serve:
    """`tambrook-cli serve --all --http` on simulated boards, in a temporary folder."""

    def __init__(self, boards=2, labels=None, programs=None, conf='', env=None, unplugged=(),
                 tls=False):
        self.boards = boards
        self.dir = tempfile.TemporaryDirectory(prefix='tambrook-web-')
        self.path = lambda name: os.path.join(self.dir.name, name)
        for sub in ('run', 'config', 'state', 'data', 'programs'):
            os.mkdir(self.path(sub), 0o700)
        if labels:
            with open(self.path('labels.dat'), 'wb') as f:
                f.write(labels_image(labels))
        for name, text in (programs or {}).items():
            with open(os.path.join(self.path('programs'), name), 'w', newline='') as f:
                f.write(text)
        with open(self.path('boards.conf'), 'w') as f:
            f.write(conf)
        self.unplug(*unplugged)
        self.env = dict(os.environ,
                        TAMBROOK_SIMULATED_BOARDS=str(boards),
                        TAMBROOK_SIMULATED_STATE=self.path('board.state'),
                        TAMBROOK_SIMULATED_TRACE=self.path('board.trace'),
                        TAMBROOK_SIMULATED_UNPLUGGED=self.path('unplugged'),
                        TAMBROOK_SIMULATED_WEDGED=self.path('wedged'),
                        TAMBROOK_BOARDS_CONF=self.path('boards.conf'),
                        XDG_RUNTIME_DIR=self.path('run'),
                        XDG_CONFIG_HOME=self.path('config'),
                        XDG_STATE_HOME=self.path('state'),
                        XDG_DATA_HOME=self.path('data'),
                        **(env or {}))
        self.port = free_port()
        self.tls = []
        if tls:
            subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes',
                            '-keyout', 'server.key', '-out', 'server.crt', '-days', '2',
                            '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1'],
                           cwd=self.dir.name, check=True, capture_output=True)
            self.tls = ['--http-cert', self.path('server.crt'),
                        '--http-key', self.path('server.key')]
        self.starts = 0
        self.trace_taken = 0
        self.process = None
        self.start()

    def start(self):
        self.starts += 1
        self.log_name = f'serve{self.starts}.log'
        with open(self.path(self.log_name), 'wb') as log:
            self.process = subprocess.Popen(
                [CLI, 'serve', '--all', '--http', f'127.0.0.1:{self.port}',
                 '--programs', self.path('programs'), *self.tls],
                cwd=self.dir.name, env=self.env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=log)
        self.url = wait_until(self.logged_address, 10, 'serve to log its page address')
        wait_until(lambda: all(f'opened sim{n}' in self.log_text()
                               for n in range(1, self.boards + 1) if n not in self.unplugged),
                   10, 'serve to open the boards')

    def restart(self):
        self.terminate()
        self.start()

    def log_text(self):
        with open(self.path(self.log_name), 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def logged_address(self):
        if self.process.poll() is not None:
            raise AssertionError(f'serve exited with {self.process.returncode}:\n{self.log_text()}')
        found = re.search(r'https?://127\.0\.0\.1:\d+/\?token=[A-Za-z0-9_~.%-]+', self.log_text())
        return found.group(0) if found else None

    @property
    def origin(self):
        parts = urlsplit(self.url)
        return f'{parts.scheme}://{parts.netloc}'

    def cli(self, *arguments):
        return subprocess.run([CLI, *arguments], cwd=self.dir.name, env=self.env,
                              capture_output=True, text=True, timeout=30)

    def writes(self):
        """The board writes traced since the last look: ["write 04 ok", ...]."""
        with open(self.path('board.trace'), 'rb') as f:
            f.seek(self.trace_taken)
            text = f.read()
        text = text[:text.rfind(b'\n') + 1]
        self.trace_taken += len(text)
        lines = [line.split(' ', 1)[1] for line in text.decode().splitlines()]
        return [line for line in lines if line.startswith('write ')]

    def unplug(self, *numbers):
        self.unplugged = numbers
        with open(self.path('unplugged'), 'w') as f:
            f.write(''.join(f'{n}\n' for n in numbers))

    def terminate(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def stop(self):
        if self.process is None:
            return
        self.terminate()
        self.process = None
        logs = ''.join(open(self.path(f'serve{n}.log'), errors='replace').read()
                       for n in range(1, self.starts + 1))
        self.dir.cleanup()
        # What a sanitizer found in serve, which the page's requests drove there.
        found = re.search(r'ERROR: AddressSanitizer.*|runtime error.*|WARNING: ThreadSanitizer.*',
                          logs)
        if found:
            raise AssertionError(f'serve: {found.group(0)}\n{logs}')


def headless_chromium():
    """A phone-sized headless Chromium that logs its network requests."""
    options = webdriver.ChromeOptions()
    # The certificate of a test's TLS serve is its own, signed by nobody the browser knows.
    for argument in ('--headless=new', '--no-sandbox', '--disable-dev-shm-usage',
                     '--window-size=420,900', '--ignore-certificate-errors'):
        options.add_argument(argument)
    if CHROMIUM:
        options.binary_location = CHROMIUM
    options.set_capability('goog:loggingPrefs', {'performance': 'ALL', 'browser': 'ALL'})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = headless_chromium()

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()

    def start(self, **kwargs):
        self.serve = Serve(**kwargs)
        self.addCleanup(self.serve.stop)
        self.browser.get(self.serve.url)
        wait_until(lambda: len(self.cards()) == self.serve.boards - len(self.serve.unplugged), 5,
                   'the boards\' cards')
        # Until the page watches its board a card has nothing to press.
        wait_until(lambda: self.cards()[0].find_element(By.CSS_SELECTOR, 'button.relay')
                   .is_enabled(), 5, 'the first card to go live')

    def cards(self):
        return self.browser.find_elements(By.CSS_SELECTOR, 'section.card')

    def card(self, board):
        return self.browser.find_element(By.CSS_SELECTOR, f'section.card[data-board="{board}"]')

    def switch(self, board, relay):
        return self.browser.find_element(
            By.CSS_SELECTOR, f'button[data-board="{board}"][data-relay="{relay}"]')

    def checked(self, board, relay):
        return self.switch(board, relay).get_attribute('aria-checked') == 'true'

    def text_of(self, board, selector):
        return self.card(board).find_element(By.CSS_SELECTOR, selector).text

    def test_page_shows_a_card_per_board_and_drops_the_token(self):
        self.start(boards=2, conf='[sim1]\nrelay3.name = Garage door\n')
        self.assertEqual([c.find_element(By.CSS_SELECTOR, 'h2').text for c in self.cards()],
                         ['sim1', 'sim2'])
        self.assertNotIn('token', self.browser.current_url)
        self.assertEqual(self.text_of('sim2', '.presence'), 'present')
        self.assertIn('serve', self.text_of('sim2', '.holder'))
        for relay in range(1, 9):
            with self.subTest(relay=relay):
                button = self.switch('sim1', relay)
                self.assertEqual(button.tag_name, 'button')
                self.assertEqual(button.get_attribute('role'), 'switch')
                self.assertEqual(button.get_attribute('aria-checked'), 'false')
                name = button.accessible_name
                self.assertIn(str(relay), name)
                self.assertIn(f'Relay {relay} ON', name)
                # A fingertip's worth on a phone's screen.
                self.assertGreaterEqual(button.size['height'], 44)
        self.assertIn('Garage door', self.switch('sim1', 3).text)
        self.assertIn('Garage door', self.switch('sim1', 3).accessible_name)
        self.assertTrue(self.browser.execute_script(
            'return document.documentElement.scrollWidth <= window.innerWidth'))

    def test_a_board_plugged_in_later_gets_a_card_in_its_place(self):
        self.start(boards=2, unplugged=[1])
        time.sleep(0.5)
        self.assertEqual(len(self.cards()), 1)
        self.serve.unplug()
        wait_until(lambda: len(self.cards()) == 2, 6, 'a card for sim1')
        self.assertEqual([c.get_attribute('data-board') for c in self.cards()], ['sim1', 'sim2'])
        wait_until(lambda: self.switch('sim1', 1).is_enabled(), 3, 'sim1\'s switches')

    def test_seven_boards_are_all_live_and_switch(self):
        # More boards than a browser keeps connections to one server (six).
        self.start(boards=7)
        wait_until(lambda: all(self.switch(f'sim{n}', 1).is_enabled() for n in range(1, 8)), 5,
                   'every card to go live')
        self.serve.writes()
        self.switch('sim7', 2).click()
        wait_until(lambda: self.checked('sim7', 2), 2, 'sim7\'s relay 2 on')
        self.assertEqual(self.serve.writes(), ['write 02 ok'])

    def test_a_switch_writes_the_board_once_by_click_space_or_enter(self):
        self.start(boards=1)
        self.serve.writes()
        for relay, press, pattern in ((3, 'click', '04'), (4, Keys.SPACE, '0c'),
                                      (3, Keys.ENTER, '08')):
            with self.subTest(relay=relay, press=press):
                before = self.checked('sim1', relay)
                button = self.switch('sim1', relay)
                if press == 'click':
                    button.click()
                else:
                    button.send_keys(press)
                wait_until(lambda: self.checked('sim1', relay) != before, 2, 'the switch to turn')
                shown = f'Relay {relay} {"ON" if before else "OFF"}'
                self.assertEqual(button.find_element(By.CSS_SELECTOR, '.relay-label').text, shown)
                self.assertIn(shown, button.accessible_name)
                time.sleep(0.3)  # a second write, were there one, would be in the trace by now
                self.assertEqual(self.serve.writes(), [f'write {pattern} ok'])

    def test_a_change_from_the_command_line_shows_within_a_second(self):
        self.start(boards=2)
        done = self.serve.cli('on', '5', '--board', 'sim2')
        self.assertEqual(done.returncode, 0, done.stderr)
        wait_until(lambda: self.checked('sim2', 5), 1.0, 'relay 5 of sim2 to show on')
        self.assertFalse(self.checked('sim1', 5))

    def test_a_pulse_shows_its_time_left_until_its_relay_goes_off(self):
        self.start(boards=1)
        done = self.serve.cli('pulse', '4', '--for', '3s', '--board', 'sim1')
        self.assertEqual(done.returncode, 0, done.stderr)
        pulse = lambda: self.switch('sim1', 4).find_element(By.CSS_SELECTOR, '.relay-pulse').text
        left = lambda: float(re.fullmatch(r'off in (\d+\.\d) s', pulse()).group(1))
        wait_until(lambda: self.checked('sim1', 4) and pulse(), 1, 'relay 4 on, with its time left')
        first = left()
        self.assertLessEqual(first, 3.0)
        # No change comes from the server meanwhile: the page counts down by itself.
        wait_until(lambda: left() <= first - 0.4, 1, 'the time left counting down')
        wait_until(lambda: not self.checked('sim1', 4), 4, 'relay 4 off')
        self.assertEqual(pulse(), '')

    def test_a_program_played_from_the_page_advances_and_stops(self):
        steps = ''.join(f'{"1" * n}{"0" * (8 - n)}-400\r\n' for n in range(1, 7))
        self.start(boards=1, programs={'steps.txt': steps, 'other.txt': '10000000-1\r\n'})
        card = self.card('sim1')
        button = lambda name: card.find_element(By.CSS_SELECTOR, f'button.{name}')
        run_state = lambda: self.text_of('sim1', '.run-state')
        picker = card.find_element(By.CSS_SELECTOR, 'select.program-file')
        wait_until(lambda: 'steps.txt' in picker.text, 5, 'the program files in the list')
        picker.find_element(By.CSS_SELECTOR, 'option[value="steps.txt"]').click()
        self.serve.writes()
        button('play').click()
        wait_until(lambda: run_state() == 'Running', 2, 'the run')
        # The row counts its delay down as it is held, as the window's list shows it.
        wait_until(lambda: self.text_of('sim1', '.step').startswith('Row 2 of 6: 11000000-'), 2,
                   'row 2 and its step')
        self.assertEqual(self.serve.writes()[:2], ['write 01 ok', 'write 03 ok'])
        button('pause').click()
        wait_until(lambda: run_state() == 'Paused', 2, 'the pause')
        self.assertEqual(button('pause').text, 'Resume')
        button('pause').click()
        wait_until(lambda: run_state() == 'Running', 2, 'the run resumed')
        button('stop').click()
        wait_until(lambda: run_state() == 'Stopped', 2, 'the stop')
        self.assertFalse(button('stop').is_enabled())

    def test_an_unplugged_board_shows_absent_and_returns(self):
        self.start(boards=2)
        self.serve.unplug(2)
        wait_until(lambda: self.text_of('sim2', '.presence') == 'absent', 5, 'sim2 absent')
        self.assertFalse(any(self.switch('sim2', r).is_enabled() for r in range(1, 9)))
        self.assertTrue(self.switch('sim1', 1).is_enabled())
        self.serve.unplug()
        wait_until(lambda: self.text_of('sim2', '.presence') == 'present', 5, 'sim2 back')
        wait_until(lambda: self.switch('sim2', 1).is_enabled(), 2, 'sim2\'s switches')

    def test_labels_and_names_are_shown_as_text_and_run_nothing(self):
        self.start(boards=1, labels={2: (HOSTILE_ON, HOSTILE_OFF)},
                   conf=f'[sim1]\nrelay2.name = {HOSTILE_NAME}\n')
        label = lambda: self.switch('sim1', 2).find_element(By.CSS_SELECTOR, '.relay-label').text
        self.assertEqual(label(), HOSTILE_ON)
        self.assertEqual(
            self.switch('sim1', 2).find_element(By.CSS_SELECTOR, '.relay-name').text, HOSTILE_NAME)
        self.switch('sim1', 2).click()
        wait_until(lambda: label() == HOSTILE_OFF, 2, 'the OFF label')
        self.assertEqual(self.browser.execute_script(
            'return document.querySelectorAll("main style, main b, main img").length'), 0)
        self.assertIn(HOSTILE_OFF, self.switch('sim1', 2).accessible_name)

    def test_the_page_comes_back_by_itself_when_serve_does(self):
        self.start(boards=1)
        self.serve.restart()  # the same port, and the token kept in its state folder
        wait_until(lambda: self.switch('sim1', 1).is_enabled(), 5, 'the card to go live again')
        done = self.serve.cli('on', '2', '--board', 'sim1')
        self.assertEqual(done.returncode, 0, done.stderr)
        wait_until(lambda: self.checked('sim1', 2), 1.0, 'relay 2 to show on')

    def test_the_page_over_tls_watches_and_switches(self):
        self.start(boards=1, tls=True)
        self.assertTrue(self.browser.current_url.startswith('https://'))
        self.serve.writes()
        self.switch('sim1', 6).click()
        wait_until(lambda: self.checked('sim1', 6), 2, 'relay 6 on')
        self.assertEqual(self.serve.writes(), ['write 20 ok'])

    def test_all_on_and_all_off_on_eight_relays_and_on_four(self):
        for relays, on in ((8, 'ff'), (4, '0f')):
            with self.subTest(relays=relays):
                self.start(boards=1, env={'TAMBROOK_SIMULATED_RELAYS': str(relays)})
                self.serve.writes()
                self.assertEqual([self.switch('sim1', r).is_enabled() for r in range(1, 9)],
                                 [r <= relays for r in range(1, 9)])
                for button, pattern, checked in (('.all-on', on, True), ('.all-off', '00', False)):
                    self.card('sim1').find_element(By.CSS_SELECTOR, button).click()
                    wait_until(lambda: all(self.checked('sim1', r) == checked
                                           for r in range(1, relays + 1)), 2, f'{button} shown')
                    self.assertEqual(self.serve.writes(), [f'write {pattern} ok'])
                self.serve.stop()

    def test_relays_a_board_cannot_read_back_are_unknown_until_set(self):
        self.start(boards=1, env={'TAMBROOK_SIMULATED_READBACK': '0'})
        self.serve.writes()
        self.assertIn('unknown', self.switch('sim1', 3).accessible_name)
        self.switch('sim1', 3).click()
        wait_until(lambda: self.checked('sim1', 3), 2, 'relay 3 on')
        self.assertNotIn('unknown', self.switch('sim1', 3).accessible_name)
        self.assertIn('unknown', self.switch('sim1', 4).accessible_name)
        self.assertEqual(self.serve.writes(), ['write 04 only 04 ok'])

    def test_a_double_tap_on_a_slow_board_writes_once(self):
        self.start(boards=1, env={'TAMBROOK_SIMULATED_FAULTS': 'latency=250'})
        self.serve.writes()
        ActionChains(self.browser).double_click(self.switch('sim1', 3)).perform()
        wait_until(lambda: self.checked('sim1', 3), 3, 'relay 3 on')
        time.sleep(0.6)  # a second write would have taken its 250 ms by now
        self.assertEqual(self.serve.writes(), ['write 04 ok'])

    def test_a_wedged_board_fails_alone_and_its_failure_clears_when_back(self):
        self.start(boards=2)
        with open(self.serve.path('wedged'), 'w') as f:
            f.write('2\n')
        self.switch('sim2', 1).click()
        self.switch('sim1', 1).click()
        wait_until(lambda: self.checked('sim1', 1), 1.0, 'sim1\'s relay 1 on')
        wait_until(lambda: self.text_of('sim2', '.presence') == 'absent', 3, 'sim2 absent')
        self.assertTrue(self.text_of('sim2', '.problem'))
        self.assertFalse(self.checked('sim2', 1))
        os.remove(self.serve.path('wedged'))
        wait_until(lambda: self.text_of('sim2', '.presence') == 'present', 5, 'sim2 back')
        self.assertEqual(self.text_of('sim2', '.problem'), '')

    def test_a_refused_switch_says_why_and_changes_nothing(self):
        self.start(boards=1, conf='[sim1]\ninterlock = 1+2\n')
        self.switch('sim1', 1).click()
        wait_until(lambda: self.checked('sim1', 1), 2, 'relay 1 on')
        self.serve.writes()
        self.switch('sim1', 2).click()
        problem = wait_until(lambda: self.text_of('sim1', '.problem'), 2, 'the refusal')
        self.assertIn('interlock', problem)
        self.assertFalse(self.checked('sim1', 2))
        self.assertEqual(self.serve.writes(), [])

    def test_a_page_whose_cookie_is_refused_says_so_and_offers_nothing(self):
        self.start(boards=1)
        self.browser.delete_all_cookies()  # as when serve was given another token
        wait_until(lambda: 'Not signed in' in self.browser.find_element(By.ID, 'connection').text,
                   5, 'the page to say it is not signed in')
        self.assertFalse(self.switch('sim1', 1).is_enabled())

    def test_no_request_leaves_the_servers_origin_and_the_console_stays_clean(self):
        for log in ('performance', 'browser'):
            self.browser.get_log(log)  # what earlier tests left
        self.start(boards=1)
        self.switch('sim1', 1).click()
        wait_until(lambda: self.checked('sim1', 1), 2, 'the switch')
        urls = []
        for entry in self.browser.get_log('performance'):
            message = json.loads(entry['message'])['message']
            if message['method'] == 'Network.requestWillBeSent':
                urls.append(message['params']['request']['url'])
            elif message['method'] == 'Network.webSocketCreated':
                urls.append(message['params']['url'])
        self.assertTrue(any('/api/v1/' in url for url in urls), urls)
        elsewhere = [u for u in urls if not u.startswith(self.serve.origin + '/')
                     and not u.startswith(self.serve.origin.replace('http', 'ws', 1) + '/')]
        self.assertEqual(elsewhere, [])
        # The server's Content-Security-Policy refusing an inline style or script says so here.
        errors = [e['message'] for e in self.browser.get_log('browser') if e['level'] == 'SEVERE']
        self.assertEqual(errors, [])


def main():
    global CLI
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    CLI = os.path.abspath(sys.argv.pop(1))
    if not CHROMIUM or not os.access(CHROMEDRIVER, os.X_OK):
        print('skipped: Chromium or its driver is not installed')
        return SKIPPED
    program = unittest.main(exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main())
