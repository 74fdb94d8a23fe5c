# Decodes the control transfers in usbmon's text output (the 0u interface)
# that the FTDI and CDC ACM drivers send for a port's settings and modem
# lines, one line each:
#   PORT REQUEST what-it-asks ; BAUD DATA FLOW DTR=d RTS=r
# where the part after ';' is the state the device has been told so far in
# this input ('?' for what it has not). Every other control transfer to a
# port's device is a line "PORT other REQUEST-TYPE REQUEST". Which device is
# which port comes in the variable ports: "bus:device=PORT ...", e.g.
# "1:002=/dev/ttyUSB0 2:002=/dev/ttyACM0".
function hex(s,    i, n) {
  n = 0
  s = tolower(s)
  for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return n
}
# Bit b of value (this awk has no ^).
function bit(value, b) { while (b-- > 0) value = int(value / 2); return value % 2 }
function data(bits, parity, stop) { return bits substr("NOEMS", parity + 1, 1) substr("1.2", stop + 1, 1) }
BEGIN {
  n = split(ports, pairs, " ")
  for (i = 1; i <= n; i++) {
    split(pairs[i], kv, "=")
    port[kv[1]] = kv[2]
    baud[kv[2]] = form[kv[2]] = flow[kv[2]] = dtr[kv[2]] = rts[kv[2]] = "?"
  }
  # FTDI's eighths of the divisor, by their code in bits 14 to 16.
  split("0 4 2 1 3 5 6 7", eighths, " ")
  split("none rtscts dtrdsr ? xonxoff", flows, " ")
}
$3 == "S" && $4 ~ /^C[io]:/ && $5 == "s" {
  split($4, address, ":")
  p = port[address[2] ":" address[3]]
  if (p == "") next
  type = $6; request = hex($7); value = hex($8); index_ = hex($9)
  if (type == "40" && request == 3) {
    divisor = value + (index_ % 2) * 65536
    whole = divisor % 16384
    eighth = eighths[int(divisor / 16384) + 1]
    baud[p] = divisor == 0 ? 3000000 : divisor == 1 ? 2000000 : int(24000000 / (whole * 8 + eighth) + 0.5)
    what = "SET_BAUDRATE " baud[p]
  } else if (type == "40" && request == 4) {
    form[p] = data(value % 256, int(value / 256) % 8, int(value / 2048) % 4)
    what = "SET_DATA " form[p]
  } else if (type == "40" && request == 2) {
    flow[p] = flows[int(index_ / 256) % 8 + 1]
    what = "SET_FLOW_CTRL " flow[p]
  } else if (type == "40" && request == 1) {
    what = "SET_MODEM_CTRL"
    if (bit(value, 8)) { dtr[p] = bit(value, 0); what = what " DTR=" dtr[p] }
    if (bit(value, 9)) { rts[p] = bit(value, 1); what = what " RTS=" rts[p] }
  } else if (type == "21" && request == 32) {
    bytes = ""
    for (i = 13; i <= NF; i++) bytes = bytes $i
    baud[p] = hex(substr(bytes, 7, 2) substr(bytes, 5, 2) substr(bytes, 3, 2) substr(bytes, 1, 2))
    form[p] = data(hex(substr(bytes, 13, 2)), hex(substr(bytes, 11, 2)), hex(substr(bytes, 9, 2)))
    flow[p] = "-"
    what = "SET_LINE_CODING " baud[p] " " form[p]
  } else if (type == "21" && request == 34) {
    dtr[p] = bit(value, 0); rts[p] = bit(value, 1)
    what = "SET_CONTROL_LINE_STATE DTR=" dtr[p] " RTS=" rts[p]
  } else {
    print p " other " type " " $7
    next
  }
  print p " " what " ; " baud[p] " " form[p] " " flow[p] " DTR=" dtr[p] " RTS=" rts[p]
}
