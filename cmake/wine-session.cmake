# wine-session.cmake - starts wine's server and service processes before CTest lists the tests.
#
# CTest reads this ahead of the test lists of a build that runs under wine. Wine's service
# processes outlive the program that first started them and keep every descriptor it had:
# inside CTest that is the pipe of a test or of a test listing, which CTest then waits on
# until its time-out, and any lock file that CTest itself was started under, which they would
# hold as long as the server lives. Started here, with standard streams on /dev/null and every
# other descriptor closed, they serve every test of the run and hold nothing of ours.
# "-p30" (no blank) keeps the server 30 s after its last program; "-p 30" would keep it forever.
# The server refuses to start for a prefix folder that does not exist yet (a fresh machine), and
# the one that wine then starts by itself lingers only briefly: when no test program runs for a
# moment it shuts down, and a test that starts during the shut-down is cut off. So the prefix
# folder is made first; wine fills it on its first run.
execute_process(
  COMMAND bash -c [[
    for fd in /proc/$$/fd/*; do
      n=${fd##*/}
      if [ "$n" -gt 2 ]; then eval "exec $n>&-"; fi
    done
    mkdir -p "${WINEPREFIX:-$HOME/.wine}"
    wineserver -p30
    wine cmd /c exit
  ]]
  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
