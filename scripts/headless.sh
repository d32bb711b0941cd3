#!/usr/bin/env bash
# Runs a command under a private Xvfb display and a private PulseAudio daemon
# with the studio's test devices, then stops both:
#   Studio_Out       null sink, the playback device
#   Studio_Mic_Feed  null sink; whatever is played into it is heard on
#   Studio_Mic       the capture device (a remap of Studio_Mic_Feed's monitor)
set -uo pipefail

WORK=$(mktemp -d /tmp/lumenfeed-headless.XXXXXX)
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run"
mkdir -p -m700 "$HOME" "$XDG_RUNTIME_DIR"
unset PULSE_SERVER PULSE_RUNTIME_PATH

xvfb_pid= keepalive_pid=
cleanup() {
  [ -n "$keepalive_pid" ] && kill "$keepalive_pid" 2>/dev/null
  pulseaudio --kill 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# A free display number: the first whose lock file is not taken.
for n in $(seq 90 190); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done

pulseaudio -D -n --exit-idle-time=-1 --log-target="file:$WORK/pulse.log" \
  --load="module-native-protocol-unix auth-anonymous=1" \
  --load="module-null-sink sink_name=studio_out sink_properties=device.description=Studio_Out" \
  --load="module-null-sink sink_name=studio_mic_feed sink_properties=device.description=Studio_Mic_Feed" \
  --load="module-remap-source master=studio_mic_feed.monitor source_name=studio_mic source_properties=device.description=Studio_Mic"
for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
# Keeps the sinks awake, so that capture starts at once.
pacat -p --latency-msec=20 --raw /dev/zero &
keepalive_pid=$!

export LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb SDL_AUDIODRIVER=pulseaudio
"$@"
