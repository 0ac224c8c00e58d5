"""Wine lanes and prefixes: which Wine runs a command, a prefix made ready
for the tray, a Windows program started in it, and the end of all of it."""

import os
import signal
import subprocess

from harness import procs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Which Wine runs the Windows programs: the machine's own (wine8), Wine 10 in
# a Debian 13 chroot, or arm64 Wine in an emulated arm64 chroot. Every Wine
# command goes through the one script that knows how to reach each.
LANES = ("wine8", "wine10", "arm64")
LANE_SCRIPT = os.path.join(ROOT, "tools", "wine-lane.sh")


def wine_env(prefix, base=None, lane=None):
    env = dict(base if base is not None else os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env["VIMRA_LANE"] = lane or env.get("VIMRA_LANE") or "wine8"
    return env


def wine(env, command, *args):
    """The command line that runs a Wine command (wine, wineserver, wineboot)
    under env's lane."""
    return [LANE_SCRIPT, env.get("VIMRA_LANE", "wine8"), command, *args]


def start(env, program, *args, **popen):
    """Starts a Windows program under env's Wine; returns its Popen. It runs
    in a session of its own, so that a Ctrl-C at the terminal reaches only
    the caller, which then ends Wine in order."""
    popen.setdefault("stdout", subprocess.DEVNULL)
    popen.setdefault("stderr", subprocess.DEVNULL)
    return subprocess.Popen(wine(env, "wine", program, *args), env=env, start_new_session=True, **popen)


def stop_prefix(env):
    """Ends every Wine process of the prefix. One that its wineserver cannot
    end (stuck in its own exit, say) is killed from outside, so that the
    next start finds the prefix free."""
    for flag in ("-k", "-w"):
        try:
            subprocess.run(wine(env, "wineserver", flag), env=env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            pass
    for pid, command in procs.prefix_processes(env["WINEPREFIX"]).items():
        args = [arg.lower() for arg in command]
        # Wine's own processes only: a shell or script that merely has
        # WINEPREFIX set (the one running this, say) stays.
        if pid != os.getpid() and ("wine" in " ".join(args[:2]) or args[0].endswith(".exe")):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def prefix_ready(prefix):
    """Whether prepare_prefix() has made this prefix: the settings it imports
    last are in its user.reg."""
    try:
        with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return False
    start = text.find("[Software\\\\Wine\\\\X11 Driver]")
    end = text.find("\n[", start + 1)
    return start >= 0 and '"Managed"="N"' in text[start:end if end >= 0 else len(text)]


def prepare_prefix(env):
    """Creates the prefix when it is new; returns whether it exists."""
    quiet = dict(env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(wine(env, "wineboot", "-i"), **quiet)
    # wineboot may return while the prefix is still being filled in; killing
    # that half-way leaves a prefix whose desktop never starts. Let it end.
    subprocess.run(wine(env, "wineserver", "-w"), **quiet)
    # Unmanaged windows: with no window manager on Xvfb, hiding a managed
    # window waits 2 s for a withdrawal nobody confirms, and the tray hides
    # itself inside the NIM_DELETE of its last icon, which would add those
    # 2 s to every Exit. The relay list is the one call a log with +relay
    # traces beside the DLL attach and detach calls: ExitProcess, which the
    # program's entry returns into.
    settings = os.path.join(env["WINEPREFIX"], "vimra-settings.reg")
    with open(settings, "w", encoding="utf-16") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Managed\"=\"N\"\r\n\r\n"
                "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n\"RelayInclude\"=\"kernel32.ExitProcess\"\r\n")
    subprocess.run(wine(env, "wine", "reg", "import", "Z:" + settings.replace("/", "\\")), **quiet)
    stop_prefix(env)
    return os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg"))
