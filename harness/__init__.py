"""The one driver of Wine and its notification area, for every script that
runs the real program: the end-to-end table (tests/e2e/scenarios.py), the
bench and tools/run.py (its screenshots too). One concern per module:

    wine      lanes and prefixes: which Wine runs a command, a prefix made
              ready, a program started in it, the end of all of it
    display   the virtual X display: its windows, the pointer, pictures
    tray      Wine's notification area: the status picture it shows, the menu
    procs     processes from /proc: a prefix's, their processor time and
              memory, whether one has ended; bounded waits
    evidence  what a failed end-to-end row keeps; the program's end in its log
    testhost  the namespace test host and its ICMP responder
    table     text tables
"""
