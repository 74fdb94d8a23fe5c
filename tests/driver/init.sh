#!/bin/busybox sh
# The guest's /init for the driver tests: loads the USB serial drivers, makes
# /dev/ttyUSB0 (QEMU's emulated FTDI, ftdi_sio) and /dev/ttyACM0 (a CDC ACM
# gadget on the dummy controller, cdc_acm), runs each case of /cases against
# /comscan with the USB traffic recorded by usbmon, and prints for each
#   NAME: detail...            what a failure needs to be understood
#   case NAME: pass|fail (at UPTIME s)
# then reboots, which ends QEMU (-no-reboot).
/bin/busybox mkdir -p /bin /proc /sys /dev /tmp /run/lock /var
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t debugfs debugfs /sys/kernel/debug
ln -s /run/lock /var/lock

for module in $(cat /modules/load-order); do insmod /modules/$module || echo "insmod $module failed"; done
helper=/port_helper
monitor=/sys/kernel/debug/usb/usbmon/0u
program_out=/tmp/out

# The USB device directory in sysfs of a port's tty, nothing if it has none.
usb_device() {  # port
  local dir=$(readlink -f /sys/class/tty/${1#/dev/}/device)
  while [ -n "$dir" ] && [ ! -f $dir/devnum ]; do dir=${dir%/*}; done
  echo $dir
}
# Waits up to 10 s until the port is there with its driver bound (or gone,
# with "gone"), and tells usbmon.awk which device is which port.
wait_port() {  # port [gone]
  local i=0
  while [ $i -lt 100 ]; do
    if [ -z "$2" ] && [ -c $1 ] && [ -e /sys/class/tty/${1#/dev/}/device ]; then break; fi
    if [ -n "$2" ] && [ ! -e $1 ]; then break; fi
    usleep 100000; i=$((i + 1))
  done
  ports=
  for p in /dev/ttyUSB0 /dev/ttyACM0; do
    [ -c $p ] || continue
    local d=$(usb_device $p)
    ports="$ports $(cat $d/busnum):$(printf %03d $(cat $d/devnum))=$p"
  done
}

# Records the USB traffic from now on: usbmon hands a reader the events from
# its open on, so it is opened here before anything runs.
monitor_start() {
  exec 4<$monitor
  cat <&4 >/tmp/usbmon &
  monitor_pid=$!
  exec 4<&-
}
# Stops recording once the reader has caught up (it has the marker request
# sent after everything before it), and decodes what was seen into
# /tmp/decoded.
monitor_stop() {
  local i=0
  $helper mark /dev/bus/usb/001/001
  while ! grep -q ' Ci:1:001:0 s 80 06 037e ' /tmp/usbmon && [ $i -lt 100 ]; do usleep 20000; i=$((i + 1)); done
  [ $i -lt 100 ] || echo "usbmon never showed the marker request"
  kill $monitor_pid; wait $monitor_pid 2>/dev/null
  awk -v ports="$ports" -f /usbmon.awk /tmp/usbmon >/tmp/decoded
}

# The report for the ports given, byte for byte.
report() {  # ports...
  local list=
  for p in "$@"; do printf '%s\r\n' $p; list="$list|$p"; done
  printf 'total : %s\r\ndernier port : %s\r\nAppuyez sur Entr\351e\r\n' "$list" "${*##* }"
}
# Runs the program with stdin at its end (the wait for Enter ends there):
# its output in $program_out, its exit status in $status.
run_program() {  # [command that runs the program]
  timeout 10 "$@" /comscan </dev/null >$program_out 2>/tmp/err
  status=$?
}
# Whether the output is a report of the ports its own lines name, and the
# program exited 0: prints why not.
consistent() {
  [ $status -eq 0 ] || { echo "exit status $status: $(cat /tmp/err)"; return; }
  report $(grep '^/dev/' $program_out | tr -d '\r') | cmp -s - $program_out ||
    echo "the report disagrees with its own lines: $(od -c $program_out | head -n 8)"
}
listed() { tr -d '\r' <$program_out | grep -qx "$1"; }
# Puts a port in a known state first, so that what the program changes
# reaches the device. stty reads the settings back and calls it a failure
# when the driver encoded a speed its own way: once more, and the settings
# it reads back are then those it asked for.
preset() {  # port stty-settings...
  local port=$1; shift
  stty -F $port "$@" 2>/dev/null || stty -F $port "$@" || echo "stty $* on $port failed"
}
# The decoded state of the device at each transfer of the last record.
states() { sed -n "s|^$1 .* ; ||p" /tmp/decoded; }

# The decoder against the kernel: what busybox stty asks of the driver for
# the program's settings reads back as those settings; the settings the
# program must reach are taken from this record.
case_calibrate() {  # port
  preset $1 9600 cs7 -parenb -cstopb -crtscts -ixon -ixoff
  monitor_start
  preset $1 38400 cs8 parenb -parodd -cstopb -crtscts -ixon -ixoff
  monitor_stop
  local state=$(states $1 | tail -n 1)
  configured=${state% DTR=*}
  case $1 in *USB*) expect="38400 8E1 none" ;; *) expect="38400 8E1 -" ;; esac
  [ "$configured" = "$expect" ] || { echo "stty 38400 cs8 parenb reads back as '$configured'"; return; }
  eval configured_${1#/dev/}=\$configured
  # The FTDI's flow control, from none (each open first sends what the
  # port has; -hupcl, so no close resets it).
  case $1 in *USB*)
    preset $1 -crtscts -ixon -ixoff -hupcl
    monitor_start; preset $1 ixon ixoff; preset $1 -ixon -ixoff crtscts; preset $1 -crtscts; monitor_stop
    local flows=$(sed -n 's/.* SET_FLOW_CTRL \([^ ]*\) ;.*/\1/p' /tmp/decoded | tr '\n' ' ')
    [ "$flows" = "none xonxoff xonxoff rtscts rtscts none " ] ||
      echo "stty ixon ixoff, then crtscts, then -crtscts read back as: $flows"
  esac
}

# Both ports free: the exact report, as root or as a user of group dialout
# with the nodes root:dialout 0660.
case_free() {  # - root|dialout
  chown 0:20 /dev/ttyUSB0 /dev/ttyACM0; chmod 0660 /dev/ttyUSB0 /dev/ttyACM0
  if [ $2 = root ]; then run_program; else run_program $helper as 1000 1000 20; fi
  [ $status -eq 0 ] || { echo "exit status $status: $(cat /tmp/err)"; return; }
  report /dev/ttyUSB0 /dev/ttyACM0 | cmp -s - $program_out || echo "report: $(od -c $program_out)"
}

# What reaches the device while the program has the port: 38400 8E1, no
# RTS/CTS flow control, XON/XOFF as the port had it, RTS low and DTR high
# at once; DTR never dropped (the port has -hupcl, so no close drops it).
case_device() {  # port ixon|-ixon
  preset $1 9600 cs7 -parenb -hupcl -crtscts $2 ${2%ixon}ixoff
  monitor_start; run_program; monitor_stop
  local configured flow=none
  eval configured=\$configured_${1#/dev/}
  [ -n "$configured" ] || { echo "no calibration for $1"; return; }
  [ $2 = ixon ] && flow=xonxoff
  case $1 in *ACM*) flow=- ;; esac
  states $1 | grep -qx "${configured% *} $flow DTR=1 RTS=0" ||
    echo "never ${configured% *} $flow with DTR high and RTS low: $(cat /tmp/decoded)"
  ! states $1 | grep -q 'DTR=0' || echo "DTR dropped: $(cat /tmp/decoded)"
  listed $1 || echo "not listed"
}

# A free port is left as it was found: its termios2 as before, and its modem
# lines as the program's own open set them.
case_untouched() {  # port
  preset $1 115200 sane -hupcl
  local before=$($helper dump $1) after
  monitor_start; run_program; monitor_stop
  after=$($helper dump $1)
  [ "$before" = "$after" ] || echo "termios2 before: $before; after: $after"
  local opened=$(grep "^$1 SET_\(MODEM_CTRL\|CONTROL_LINE_STATE\)" /tmp/decoded | head -n 1)
  local last=$(states $1 | tail -n 1)
  [ -n "$opened" ] && [ "${opened#* ; * * * }" = "${last#* * * }" ] ||
    echo "lines after the open: ${opened#* ; * * * }, at the end: ${last#* * * }: $(cat /tmp/decoded)"
  listed $1 || echo "not listed"
}

# A port held by another program, one way of holding per case: not listed,
# not one control transfer to its device, the holder's termios2 and lines
# as they were.
case_held() {  # port way
  preset $1 115200 sane -hupcl
  rm -f /tmp/go /tmp/holder; mkfifo /tmp/go
  $helper hold $2 $1 </tmp/go >/tmp/holder &
  local holder=$! i=0
  exec 5>/tmp/go
  while [ ! -s /tmp/holder ] && [ $i -lt 50 ]; do usleep 100000; i=$((i + 1)); done
  # busybox timeout's watcher outlives the program by up to a second: it
  # must not keep the holder's stdin open.
  monitor_start; run_program 5>&-; monitor_stop
  exec 5>&-
  wait $holder || echo "the holder failed"
  [ "$(sed -n 1p /tmp/holder)" = "$(sed -n 2p /tmp/holder)" ] || echo "the holder's port changed: $(cat /tmp/holder)"
  consistent
  ! listed $1 || echo "listed"
  ! grep -q "^$1 " /tmp/decoded || echo "transfers to the held port: $(grep "^$1 " /tmp/decoded)"
}

# The device unplugged (its sysfs authorized set to 0) before the program
# starts or some microseconds after: the program ends in time with exit 0
# and a report that agrees with itself; a port gone before it started is
# not listed. The device is plugged back afterwards.
case_unplug() {  # port before|microseconds
  local device=$(usb_device $1)
  if [ $2 = before ]; then
    echo 0 >$device/authorized; wait_port $1 gone
    run_program
    ! listed $1 || echo "listed after it was gone"
  else
    (run_program; echo $status >/tmp/status) &
    local program=$!
    usleep $2; echo 0 >$device/authorized
    wait $program
    status=$(cat /tmp/status)
    wait_port $1 gone
    [ ! -e $1 ] || echo "$1 still there after its unplug"
  fi
  consistent
  # Not a failure either way: shows where in the scan the unplug fell.
  listed $1 && echo "  $1 listed" >/dev/console || echo "  $1 not listed" >/dev/console
  echo 1 >$device/authorized; wait_port $1
  [ -c $1 ] || echo "$1 did not come back"
}

wait_port /dev/ttyUSB0; wait_port /dev/ttyACM0
echo "guest: ready after $(cut -d' ' -f1 /proc/uptime) s, devices $ports"
# Each case says nothing when it passes, else why not.
grep -v '^#' /cases >/tmp/cases
while read name check port argument; do
  case_$check $port $argument </dev/null >/tmp/why 2>&1
  at="(at $(cut -d' ' -f1 /proc/uptime) s)"
  if [ -s /tmp/why ]; then sed "s|^|$name: |" /tmp/why; echo "case $name: fail $at"; else echo "case $name: pass $at"; fi
done </tmp/cases
echo "guest: done after $(cut -d' ' -f1 /proc/uptime) s"
reboot -f
