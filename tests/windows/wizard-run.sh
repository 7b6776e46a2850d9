# The Win32 wizard end to end under Wine and Xvfb; sourced by
# scripts/windows.sh, whose helpers (fail, start_receiver,
# expect_flash_holds_package) and settings it uses.
#
# Driven like a user, through the X server (xdotool): wait for the port list,
# pick COM5: (four times Down) and press Enter for Connect. COM5 is first a
# receiver that never answers: Escape before the flash work must ask
# "Cancel the upgrade?" (answered No, the upgrade goes on), and the failure
# must show its whole text with Back and Try again; Back must return to the
# connection page with COM5: kept. Then COM5 is a receiver that answers (Wine's
# link moved to it) and Connect runs the upgrade: while the receiver's flash
# is being written, a logoff (WM_QUERYENDSESSION) must be refused and Escape
# and Alt+F4 must not end the wizard; the run must reach "Successfully
# upgraded GPS firmware" with Finish enabled, a logoff must be allowed
# again, and the flash must equal the package. Escape then ends the wizard,
# which shows that the keys reach it. wizard-probe.exe reads the wizard's
# texts from outside and clicks its buttons. Pictures of the pages go to
# $out/screenshots (wizard/screens/windows-*.png are copies).

for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (needed to drive the wizard)"
done
wizard_exe="$out/wizard/win32/trailmark-upgrade.exe"
probe_exe="$out/tests/windows/wizard-probe.exe"
shots="$out/screenshots"
mkdir -p "$shots"
rm -f "$shots"/windows-*.png

probe() {
  local seen
  seen=$(wine "$probe_exe" "$@") || fail "the wizard: wizard-probe $1 $2 '$3' did not hold: ${seen//$'\r'/}"
}
shot() {
  import -window "$window" "$shots/windows-$1.png" || fail "cannot take the picture $1"
}

# A display of its own; Wine's programs after this one draw on it.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb cannot start"; }
export DISPLAY=":$(head -n 1 "$work/display")"
# The Wine session so far had no display: start a new one on this one.
wineserver -k >/dev/null 2>&1 || true
wineserver -w

start_receiver 5 wizard-silent --mode boot --no-boot
silent_receiver=$receiver_pid
# Wine lists its COM link to a pseudo-terminal as no device present, which
# the wizard does not let a user choose: COM5 is set for the wizard as a user
# would set a port (the port still opens through Wine's link).
(cd "$native" && TRAILMARK_COM5='\\.\COM5' exec wine "$wizard_exe") >"$work/wizard.out" 2>&1 &
wizard_pid=$!

probe wait 105 "Please check that your*" 60000
window=$(xdotool search --onlyvisible --name "^GPS Trailmark Pro Series GPS Upgrade\$" | head -n 1)
[ -n "$window" ] || fail "the wizard's window is not on the X display"
xdotool windowfocus --sync "$window"
xdotool key Down Down Down Down
probe wait 104 "COM5:*" 5000
probe wait 1006 "Package: Corvid_FW_v1.82-Boot.q*" 5000
shot 2-connection
xdotool key Return
probe wait 105 "Updating GPS Firmware*" 20000
xdotool key Escape
probe question none 10000
import -window root "$shots/windows-3-cancel-question.png" || fail "cannot take the picture 3-cancel-question"
probe question no 5000
probe wait 105 "Failed to upgrade GPS firmware*" 120000
probe enabled 0x3023 5000
probe wait 1010 "Try again" 5000
shot 6-failure
probe click 0x3023 5000
probe wait 105 "Please check that your*" 30000
probe wait 104 "COM5:*" 5000
kill "$silent_receiver" 2>/dev/null || true

# Flash work slowed a little, so that it lasts while the keys are tried.
start_receiver 5 wizard --exit-after-upgrade --slow-flash 20
wizard_receiver=$receiver_pid
xdotool windowfocus --sync "$window"
xdotool key Return
probe wait 1003 "Program flash*" 60000
probe wait 1009 "Writing the receiver's flash*" 5000
probe endsession 0 2000
shot 4-progress-running
xdotool key Escape alt+F4
probe wait 105 "Successfully upgraded GPS firmware*" 120000
probe wait 1003 "Upgrade finished: 100%" 5000
probe enabled 0x3025 5000
probe endsession 1 2000
shot 5-progress-end
xdotool key Escape
probe gone 10000
wait "$wizard_pid" || fail "the wizard did not end cleanly"
wait "$wizard_receiver" 2>/dev/null || true
expect_flash_holds_package "$work/wizard.json"
kill "$xvfb_pid" 2>/dev/null || true
echo "windows.sh: the wizard asked before cancelling, showed a failure whole with Back (COM5 kept), then upgraded" \
     "the virtual receiver (a logoff, Escape and Alt+F4 refused during the flash work), flash checked"
