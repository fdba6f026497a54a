#!/usr/bin/python3
"""Voxendo end to end, through the installed-style binary, on the headless desktop.

Runs inside scripts/test-session.sh (Xvfb + openbox, D-Bus, GNOME Keyring, PulseAudio with the
virtual microphone, the AT-SPI bus). It starts voxendo-devserver (port 0, a fresh data dir) and
voxendo pointed at it, then, as a person would:

  1. creates an account in the Account tab (AT-SPI to find things, the keyboard to type);
  2. focuses a text field of another application, puts a known text on the clipboard, presses
     Alt+Space, lets the virtual microphone say "hello world", presses Alt+Space again, and
     expects the words in the field, the clipboard back and no recording left behind;
  3. does the same without speech, which must not produce the words;
  4. restarts Voxendo and expects the account still signed in;
  5. stores an own OpenAI key in the Settings tab and dictates again: the request must reach the
     devserver's OpenAI stand-in with that key.

On failure it prints the apps' output, the devserver's log, the accessibility tree and saves a
screenshot. Every process it starts is stopped by its PID.

Must run under Debian's /usr/bin/python3 (pyatspi). Exit status 0 pass, 1 fail, 77 skip.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

PHRASE = "hello world"
# The stand-in recogniser (pocketsphinx) takes this voice's "hello" for "the old" in about one
# recording in three, depending on the silence before it, and now and then mishears the whole
# phrase; so the words are checked by "world", the whole transcript by its length, a mishearing is
# reported and spoken again, and "hello world" is reported when heard.
WORD = "world"
SPEECH_ATTEMPTS = 3
EMAIL = "e2e.user@example.com"
PASSWORD = "correct horse battery"
OPENAI_KEY = "sk-e2e-0123456789abcdefghijklmnopqrstuv"
CLIPBOARD_TEXT = "the user's own clipboard text"
SKIP = 77


class Failure(Exception):
    pass


def log(message):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {message}", flush=True)


def wait_until(what, predicate, timeout, interval=0.1):
    """Polls predicate until it returns something truthy; fails with `what` after timeout s."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except Exception as error:  # the accessibility tree changes under our feet
            last_error = error
        if time.monotonic() >= deadline:
            detail = f" (last error: {last_error!r})" if last_error else ""
            raise Failure(f"timed out after {timeout} s waiting for {what}{detail}")
        time.sleep(interval)


class Process:
    """A child process whose output goes to files, stopped by PID at the end."""

    def __init__(self, name, argv, workdir, env=None, stdin=None):
        self.name = name
        self.out_path = os.path.join(workdir, f"{name}.out")
        self.err_path = os.path.join(workdir, f"{name}.err")
        self._out = open(self.out_path, "ab")
        self._err = open(self.err_path, "ab")
        log(f"start {name}: {' '.join(argv)}")
        self.popen = subprocess.Popen(argv, stdout=self._out, stderr=self._err,
                                      stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                                      env=env, start_new_session=False)
        if stdin is not None:
            self.popen.stdin.write(stdin)
            self.popen.stdin.close()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, timeout=5):
        if self.running():
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait(timeout)
        self._out.close()
        self._err.close()


def run(argv, timeout=20, env=None, check=True):
    result = subprocess.run(argv, capture_output=True, timeout=timeout, env=env)
    if check and result.returncode != 0:
        raise Failure(f"{' '.join(argv)} exited {result.returncode}: "
                      f"{result.stderr.decode('utf-8', 'replace').strip()}")
    return result.stdout.decode("utf-8", "replace")


def screenshot(path):
    """The whole X screen as a PNG (ImageMagick is not a dependency; ffmpeg is)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    display = os.environ.get("DISPLAY", ":0")
    if shutil.which("import"):
        argv = ["import", "-window", "root", path]
    else:
        argv = ["ffmpeg", "-v", "error", "-y", "-f", "x11grab", "-i", display, "-frames:v", "1", path]
    try:
        subprocess.run(argv, capture_output=True, timeout=20)
        log(f"screenshot: {path}")
    except Exception as error:
        log(f"screenshot failed: {error!r}")


def clear_stored_secrets():
    """Removes what Voxendo keeps in the session's keyring (its session and own key), so this
    run starts signed out whatever an earlier test in the same session left, and leaves nothing
    behind for the next one."""
    import gi
    gi.require_version("Secret", "1")
    from gi.repository import Secret
    schema = Secret.Schema.new("com.voxendo.app.Keychain", Secret.SchemaFlags.DONT_MATCH_NAME,
                               {"service": Secret.SchemaAttributeType.STRING})
    removed = [service for service in ("com.voxendo.app.auth", "com.voxendo.app.apikey")
               if Secret.password_clear_sync(schema, {"service": service}, None)]
    if removed:
        log(f"removed stored secrets of {', '.join(removed)}")


# ---- accessibility (AT-SPI) ----

class Ui:
    """Voxendo's windows as assistive technology sees them."""

    def __init__(self, pid):
        import pyatspi  # Debian's, only under /usr/bin/python3
        self.atspi = pyatspi
        self.pid = pid

    def app(self):
        desktop = self.atspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == self.pid:
                    return app
            except Exception:
                continue
        return None

    def walk(self, node, depth=0):
        if node is None or depth > 60:
            return
        yield node
        for i in range(node.childCount):
            yield from self.walk(node.getChildAtIndex(i), depth + 1)

    def showing(self, node):
        return node.getState().contains(self.atspi.STATE_SHOWING)

    def find_all(self, roles=None, name=None, showing=True):
        app = self.app()
        if app is None:
            return []
        found = []
        for node in self.walk(app):
            try:
                if roles and node.getRole() not in roles:
                    continue
                if name is not None:
                    label = node.name or ""
                    if not (label == name if isinstance(name, str) else name.search(label)):
                        continue
                if showing and not self.showing(node):
                    continue
                found.append(node)
            except Exception:
                continue
        return found

    def find(self, what, roles=None, name=None, timeout=15):
        return wait_until(what, lambda: next(iter(self.find_all(roles, name)), None), timeout)

    def press(self, node):
        node.queryAction().doAction(0)

    def click(self, node):
        """A real mouse click in the middle of the object (focuses fields, switches tabs)."""
        extents = node.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        x, y = extents.x + extents.width // 2, extents.y + extents.height // 2
        # No --sync: it waits for a motion event, and none comes when the pointer is there already.
        run(["xdotool", "mousemove", str(x), str(y), "sleep", "0.05", "click", "1"])

    def type_into(self, field, text):
        """Focuses the field with a click and types the text on the keyboard."""
        self.click(field)
        wait_until("the field to take the keyboard focus",
                   lambda: field.getState().contains(self.atspi.STATE_FOCUSED), 5)
        run(["xdotool", "key", "--clearmodifiers", "ctrl+a", "BackSpace"])
        run(["xdotool", "type", "--delay", "15", "--clearmodifiers", text])

    def text_of(self, node):
        try:
            t = node.queryText()
            return t.getText(0, t.characterCount)
        except Exception:
            return node.name or ""

    def dump(self):
        app = self.app()
        if app is None:
            return "(the application is not on the accessibility bus)"
        lines = []

        def visit(node, depth):
            if node is None or depth > 60:
                return
            try:
                state = "showing" if self.showing(node) else "hidden"
                lines.append(f"{'  ' * depth}{node.getRoleName()} {node.name!r} [{state}]")
                for i in range(node.childCount):
                    visit(node.getChildAtIndex(i), depth + 1)
            except Exception as error:
                lines.append(f"{'  ' * depth}? {error!r}")

        visit(app, 0)
        return "\n".join(lines)


# ---- the run ----

class EndToEnd:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="voxendo-e2e-")
        self.data_dir = os.path.join(self.work, "devserver")
        self.processes = []
        self.voxendo = None
        self.ui = None
        self.devserver = None
        self.url = None
        self.speech = os.path.join(self.work, "speech.wav")
        self.runtime_dir = os.environ.get("XDG_RUNTIME_DIR") or tempfile.gettempdir()

    def start(self, name, argv, env=None, stdin=None):
        process = Process(name, argv, self.work, env, stdin)
        self.processes.append(process)
        return process

    # -- services --

    def start_devserver(self):
        self.devserver = self.start("devserver", [
            self.args.devserver, "--port", "0", "--data-dir", self.data_dir,
            "--openai-key", OPENAI_KEY, "--pbkdf2-iterations", "1000"])

        def first_line():
            lines = self.devserver.stdout().splitlines()
            return lines[0] if lines else self.exited(self.devserver)

        self.url = wait_until("the devserver's URL", first_line, 30)
        if not self.url.startswith("https://"):
            raise Failure(f"unexpected first line from the devserver: {self.url!r}")
        log(f"devserver at {self.url}")

    def voxendo_env(self):
        env = dict(os.environ)
        env.update({
            "VOXENDO_BACKEND_URL": self.url,
            "VOXENDO_OPENAI_API_BASE": self.url,
            "VOXENDO_EXTRA_CA_FILE": os.path.join(self.data_dir, "ca.crt"),
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        })
        env.pop("QT_QPA_PLATFORM", None)
        return env

    def start_voxendo(self, label):
        started = time.monotonic()
        self.voxendo = self.start(f"voxendo-{label}", [self.args.voxendo], env=self.voxendo_env())
        self.ui = Ui(self.voxendo.pid)
        # Start-up ends with the shortcut registered and the window on screen.
        wait_until("Voxendo's \"Hotkey registered\" line",
                   lambda: "Hotkey registered" in self.voxendo.stdout() or self.exited(self.voxendo), 30)
        self.ui.find("Voxendo's window on the accessibility bus", roles=[self.ui.atspi.ROLE_FRAME, self.ui.atspi.ROLE_WINDOW], timeout=30)
        log(f"voxendo up in {time.monotonic() - started:.1f} s")

    def exited(self, process):
        if not process.running():
            raise Failure(f"{process.name} exited with status {process.popen.returncode}")
        return False

    def stop_voxendo(self):
        self.voxendo.stop()
        wait_until("the previous instance to leave the session bus",
                   lambda: subprocess.run([self.args.voxendo, "status"], capture_output=True).returncode != 0, 10)

    def status(self):
        return run([self.args.voxendo, "status"], check=False).strip()

    # -- the settings window --

    def open_tab(self, title):
        a = self.ui.atspi
        tab = self.ui.find(f"the {title} tab", roles=[a.ROLE_PAGE_TAB, a.ROLE_PUSH_BUTTON, a.ROLE_RADIO_BUTTON,
                                                      a.ROLE_TOGGLE_BUTTON, a.ROLE_LIST_ITEM], name=title)

        def selected():
            if tab.getState().contains(a.STATE_SELECTED):
                return True
            self.ui.press(tab)  # again: a press before the window has settled may be lost
            return False

        wait_until(f"the {title} tab to be selected", selected, 10, interval=0.5)

    def sign_up(self):
        a = self.ui.atspi
        self.open_tab("Account")
        switch = self.ui.find("the \"Don't have an account? Sign Up\" switch", roles=[a.ROLE_PUSH_BUTTON],
                              name="Don't have an account? Sign Up")
        self.ui.press(switch)
        self.ui.find("the Create Account form", name="Create Account")
        email = self.ui.find("the e-mail field", roles=[a.ROLE_TEXT, a.ROLE_ENTRY], name="Email")
        self.ui.type_into(email, EMAIL)
        wait_until("the e-mail to show in its field", lambda: self.ui.text_of(email) == EMAIL, 5)
        # A masked field reaches AT-SPI without its accessible name: it is the form's only one.
        password = self.ui.find("the password field", roles=[a.ROLE_PASSWORD_TEXT])
        self.ui.type_into(password, PASSWORD)
        button = self.ui.find("the enabled Create Account button", roles=[a.ROLE_PUSH_BUTTON],
                              name="Create Account")
        wait_until("the Create Account button to be enabled",
                   lambda: button.getState().contains(a.STATE_ENABLED), 5)
        self.ui.press(button)
        self.expect_signed_in()

    def expect_signed_in(self):
        self.open_tab("Account")
        self.ui.find("the signed-in card (\"Signed in\")", name="Signed in", timeout=20)
        self.ui.find("the account's e-mail on the card", name=EMAIL, timeout=5)

    def store_own_key(self):
        a = self.ui.atspi
        self.open_tab("Settings")
        field = self.ui.find("the OpenAI key field (masked)", roles=[a.ROLE_PASSWORD_TEXT])
        self.ui.type_into(field, OPENAI_KEY)
        save = self.ui.find("the Save Key button", roles=[a.ROLE_PUSH_BUTTON], name="Save Key")
        wait_until("Save Key to be enabled", lambda: save.getState().contains(a.STATE_ENABLED), 5)
        self.ui.press(save)
        self.ui.find("\"Custom API key configured\"", name="Custom API key configured", timeout=20)

    # -- dictation --

    def recordings_left(self):
        return sorted(f for f in os.listdir(self.runtime_dir) if re.fullmatch(r"voxendo_.*\.m4a", f))

    def own_clipboard(self):
        # xclip serves the text until another client takes the clipboard (Voxendo, when it pastes).
        self.start("xclip", ["xclip", "-quiet", "-selection", "clipboard", "-t", "UTF8_STRING"],
                   stdin=CLIPBOARD_TEXT.encode())
        wait_until("xclip to own the clipboard", lambda: self.clipboard() == CLIPBOARD_TEXT, 5)

    @staticmethod
    def clipboard():
        return run(["xclip", "-o", "-selection", "clipboard"], check=False, timeout=10)

    def open_target(self, label):
        target = self.start(f"target-{label}", [self.args.paste_target])
        wait_until("the paste target to have the focus", lambda: "READY" in target.stdout().split(), 15)
        return target

    @staticmethod
    def target_text(target):
        import base64
        texts = [line[5:] for line in target.stdout().splitlines() if line.startswith("TEXT ")]
        return base64.b64decode(texts[-1]).decode("utf-8") if texts else ""

    def press_shortcut(self):
        run(["xdotool", "key", "--clearmodifiers", "alt+space"])

    def dictate(self, speak):
        self.press_shortcut()
        wait_until("\"Recording...\"", lambda: self.status() == "Recording...", 10)
        if speak:
            run(["paplay", "-d", os.environ.get("VOXENDO_TEST_SINK", "vsink"), self.speech], timeout=30)
        else:
            time.sleep(2.0)
        time.sleep(0.3)  # the end of the speech through the sink's latency
        self.press_shortcut()
        final = wait_until("the dictation to end", lambda: (s := self.status()) not in
                           ("Recording...", "Processing...") and s, 30)
        log(f"status after the dictation: {final}")
        return final

    def transcriptions(self, route):
        return len(re.findall(rf"transcribed .* \({route} route\)", self.devserver.stderr()))

    def dictation_into_field(self, label):
        """A dictation with speech: the transcript whole in the focused field, the clipboard and
        the disk as before. The stand-in recogniser mishears now and then; a transcript without
        the spoken word is reported and the dictation repeated, up to SPEECH_ATTEMPTS times."""
        heard = []
        for attempt in range(1, SPEECH_ATTEMPTS + 1):
            self.own_clipboard()
            target = self.open_target(f"{label}-{attempt}")
            status = self.dictate(speak=True)
            transcribed = self.transcript_lengths()
            if transcribed and transcribed[-1] == 0:
                log(f"attempt {attempt}: the recogniser heard nothing; speaking again")
                heard.append("")
                target.stop()
                continue
            text = wait_until(f"the transcript in the focused field (status {status!r})",
                              lambda: self.target_text(target), 15)
            # Whole, not only part of it: the devserver logs the length of what it sent.
            if not transcribed or transcribed[-1] != len(text):
                raise Failure(f"the field holds {text!r} ({len(text)} characters), "
                              f"the devserver transcribed {transcribed[-1:]} characters")
            wait_until("the clipboard to be restored", lambda: self.clipboard() == CLIPBOARD_TEXT, 5)
            wait_until("no recording left in $XDG_RUNTIME_DIR", lambda: not self.recordings_left(), 5)
            heard.append(text)
            if WORD in text.lower():
                log(f"field text: {text!r}" + (f" (\"{PHRASE}\" recognised)" if PHRASE in text.lower() else ""))
                screenshot(os.path.join(self.args.screenshots, f"e2e-{label}.png"))
                return target
            log(f"attempt {attempt}: the recogniser heard {text!r}; speaking again")
            target.stop()
        raise Failure(f"\"{WORD}\" never reached the field in {SPEECH_ATTEMPTS} dictations; heard {heard}")

    def transcript_lengths(self):
        return [int(n) for n in re.findall(r"transcribed .* route\) in \d+ ms: (\d+) characters",
                                           self.devserver.stderr())]

    # -- the scenario --

    def scenario(self):
        run(["espeak-ng", "-v", "en-us+m3", "-s", "140", "-w", self.speech, PHRASE])
        clear_stored_secrets()
        self.start_devserver()
        self.start_voxendo("first")

        log("1. account created through the Account tab")
        self.sign_up()
        screenshot(os.path.join(self.args.screenshots, "e2e-signed-in.png"))

        log("2. dictation into another application (backend route)")
        target = self.dictation_into_field("backend")
        if self.transcriptions("backend") < 1 or self.transcriptions("openai") != 0:
            raise Failure("the signed-in dictation did not go to the backend route")

        log("3. silence produces no words")
        before = self.target_text(target)
        self.own_clipboard()
        target.stop()
        target = self.open_target("silence")
        self.dictate(speak=False)
        time.sleep(1.0)  # past the paste and restore delays
        if WORD in self.target_text(target).lower():
            raise Failure(f"silence was transcribed as {self.target_text(target)!r} (speech gave {before!r})")
        if self.recordings_left():
            raise Failure(f"recordings left behind: {self.recordings_left()}")
        target.stop()

        log("4. still signed in after a restart")
        self.stop_voxendo()
        self.start_voxendo("second")
        self.expect_signed_in()
        screenshot(os.path.join(self.args.screenshots, "e2e-restarted.png"))

        log("5. own OpenAI key stored in the Settings tab; dictation goes to OpenAI")
        self.store_own_key()
        backend_before = self.transcriptions("backend")
        self.dictation_into_field("own-key")
        # Every dictation since the key was stored went to the OpenAI stand-in, which accepts
        # only that sk- key as bearer.
        if self.transcriptions("openai") < 1 or self.transcriptions("backend") != backend_before:
            raise Failure("the dictation with the stored key did not reach the OpenAI stand-in")
        log("all steps passed")

    def diagnostics(self):
        print("\n======== diagnostics ========", flush=True)
        screenshot(os.path.join(self.args.screenshots, "e2e-failure.png"))
        for process in self.processes:
            for label, text in (("stdout", process.stdout()), ("stderr", process.stderr())):
                if text.strip():
                    print(f"---- {process.name} {label} ----\n{text.rstrip()[-6000:]}", flush=True)
        if self.ui is not None:
            try:
                print(f"---- accessibility tree of {self.voxendo.name} ----\n{self.ui.dump()}", flush=True)
            except Exception as error:
                print(f"(no accessibility tree: {error!r})", flush=True)

    def cleanup(self):
        for process in reversed(self.processes):
            try:
                process.stop()
            except Exception as error:
                log(f"stopping {process.name}: {error!r}")
        try:
            clear_stored_secrets()
        except Exception as error:
            log(f"clearing the keyring: {error!r}")
        shutil.rmtree(self.work, ignore_errors=True)


def missing_session():
    needs = {
        "DISPLAY": "an X server",
        "VOXENDO_TEST_SINK": "PulseAudio with the virtual microphone",
        "VOXENDO_TEST_KEYRING": "an unlocked keyring",
        "VOXENDO_TEST_ATSPI": "the accessibility bus",
    }
    missing = [what for var, what in needs.items() if not os.environ.get(var)]
    if missing:
        return "needs the headless session (scripts/test-session.sh): " + ", ".join(missing)
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        return "needs pyatspi under /usr/bin/python3 (python3-pyatspi)"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--voxendo", required=True)
    parser.add_argument("--devserver", required=True)
    parser.add_argument("--paste-target", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()

    missing = missing_session()
    if missing:
        print(missing, flush=True)
        return 1 if os.environ.get("CI") == "true" else SKIP

    started = time.monotonic()
    e2e = EndToEnd(args)
    try:
        e2e.scenario()
        return 0
    except Exception as error:
        print(f"\nFAIL: {error}", flush=True)
        if not isinstance(error, Failure):
            traceback.print_exc()
        e2e.diagnostics()
        return 1
    finally:
        e2e.cleanup()
        log(f"took {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
