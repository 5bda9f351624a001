#!/usr/bin/env bash
# Writes the binary seed inputs of the fuzz targets under OUT/<target>/:
# valid replies of every kind, and a few near misses. The text seeds of the
# HEX loader and of qelsim's options are kept in fuzz/corpus/ instead.
#
#   fuzz/make-corpus.sh OUT
set -euo pipefail
out=${1:?usage: make-corpus.sh OUT}

# Bytes from hex tokens.
hex() { local t; for t in "$@"; do printf "\\x$t"; done; }
# A byte and its complement, as a telegram carries every field.
field() { printf '%02x %02x ' "$1" $((~$1 & 0xFF)); }
# A two-byte little-endian number.
le16() { printf '%02x %02x ' $(($1 & 0xFF)) $(($1 >> 8)); }

identify() { echo "5f 5f 5f $(field 0) 01 fe $(field 3) $(field 17) aa aa"; }
debug() {
  echo "30 30 30 $(field 0) $(field 1) $(field 15) $(field 3) $(field 0x34) $(field 0x12)" \
       "$(field 2) $(field 0) $(field 7) aa aa"
}
page_reply() {  # page number; data byte i = page + i
  local s="31 31 31 $(field 0) $(field "$1")" i
  for ((i = 0; i < 128; i++)); do s+=" $(field $((($1 + i) & 0xFF)))"; done
  echo "$s aa aa"
}
qup_reply() { echo "61 61 61 $(field 0) $(field 8) $(field 0) $(field 1) $(field 0) $(field 0) $(field 0) $(field 0) $(field 0x34) $(field 0x12) aa aa"; }
read_reply() { echo "52 52 52 $(field 0) $(field 2) $(field 4) $(field 15) $(field 0) $(field 0) $(field 0) aa aa"; }
# Status word 1, position 0x01020304, error count 5; extra pairs beyond the
# eight data bytes as further arguments.
status_reply() {
  local extra=("$@") s="58 58 58 $(field 0) $(field $((8 + $#))) $(field 1) $(field 0)" b
  s+=" $(field 4) $(field 3) $(field 2) $(field 1) $(field 5) $(field 0)"
  for b in "${extra[@]}"; do s+=" $(field "$b")"; done
  echo "$s aa aa"
}
accept="22 22 22"
# One answer of the control target's device: length, timing byte, bytes.
answer() {  # timing, hex tokens...
  local timing=$1
  shift
  echo "$(le16 $#) $timing $*"
}

mkdir -p "$out"/{end_sync_scan,fixed_replies,control,motor_replies,accept_wait}

cd "$out/end_sync_scan"
hex $(identify) >identify
hex $(debug) >debug
hex 5f 5f 5f 00 ff 01 fe 55 aa aa 11 ee aa aa >identify_cut_short
hex 01 02 03 aa 04 aa aa >noise_then_end_sync
head -c 120 /dev/zero >no_end_sync

cd "$out/fixed_replies"
hex $(le16 0) $(page_reply 0) $(qup_reply) >page0_qup
hex $(le16 3) $(page_reply 3) $(qup_reply) >page3_qup
hex $(le16 258) $(page_reply 2) $(qup_reply) >page258

cd "$out/control"
# Retries byte, then per call: operation byte and the device's answers.
hex 01 00 $(answer 02 $(read_reply)) >read
hex 01 01 $(answer 02 $(identify)) >identify
hex 01 02 $(answer 80 $(page_reply 0)) >page_trickled
hex 01 03 $(answer 02 $(qup_reply)) >qup_noop
hex 01 04 $(answer 02 $accept) >stop
hex 01 05 $(answer 02 $(debug)) >debug
hex 01 06 $(answer 02 $accept) >put
hex 01 07 $(answer 02 $accept) $(answer 02 $(identify)) >write
hex 02 00 $(answer 7f $(read_reply)) $(answer 02 $(read_reply)) >read_late_then_ok
hex 00 04 $(answer 02 $accept) 02 $(answer 02 $(page_reply 0)) 06 $(answer 02 $accept) \
    07 $(answer 02 $accept) $(answer 02 $(identify)) 05 $(answer 82 $(debug)) >program_and_debug

cd "$out/motor_replies"
# Selector (call in bits 0-1, register in bits 2-4), then the reply.
hex 00 $(read_reply) >read_mode_reg
hex 08 52 52 52 $(field 0) $(field 3) $(field 4) $(field 0x78) $(field 0x56) $(field 0x34) $(field 0x12) aa aa >read_p_soll
hex 10 5b 5b 5b $(field 0) $(field 100) $(field 4) $(field 0xff) $(field 0xff) $(field 0xff) $(field 0xff) aa aa >read_extended
hex 02 $(status_reply) >status
hex 02 $(status_reply 9 9) >status_longer
hex 03 11 11 11 >write_accept

cd "$out/accept_wait"
# Selector (bit 0: module stop), then pieces: delay in ms, length, bytes.
hex 00 01 03 11 11 11 >write_accept
hex 00 00 01 11 3c 02 11 11 >write_split
hex 00 00 02 11 11 05 02 11 11 >write_too_many
hex 01 00 03 22 22 22 >stop_accept
hex 01 96 03 22 22 22 >stop_late
hex 01 00 02 55 66 05 03 22 22 22 >stop_noise_first
