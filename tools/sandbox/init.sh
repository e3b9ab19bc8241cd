# PID 1 of the board. PID 1 would shrug off the operator's Ctrl-C, so the
# loader runs as our child; the trap (not an ignore, which children would
# inherit) keeps this shell alive while the loader gets the SIGINT.
trap : INT
"$@"
status=$?
case $status in
132) echo "[sandbox] loader died: Illegal instruction" ;;
134) echo "[sandbox] loader died: Aborted" ;;
135) echo "[sandbox] loader died: Bus error" ;;
136) echo "[sandbox] loader died: Floating point exception" ;;
139) echo "[sandbox] loader died: Segmentation fault" ;;
esac
echo "[sandbox] loader exited with status $status"
exit $status
