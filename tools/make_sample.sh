#!/bin/sh
# Makes data/sample.ts, the bundled sample recording: 8 s of MPEG-2 video
# (720x576, 25 fps) with two MPEG-1 Layer II audio tracks on their own PIDs.
# Run once; the result is committed as the project's own data.
set -e
out=${1:-data/sample.ts}
ffmpeg -v error -y \
  -f lavfi -i testsrc2=size=720x576:rate=25 \
  -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -f lavfi -i sine=frequency=660:sample_rate=48000 \
  -t 8 -map 0:v -map 1:a -map 2:a \
  -c:v mpeg2video -b:v 2500k -maxrate 2500k -bufsize 1835k -g 12 -bf 2 -aspect 16:9 \
  -c:a mp2 -b:a 192k -ac 2 \
  -f mpegts -mpegts_service_id 1 -mpegts_pmt_start_pid 0x100 \
  -streamid 0:0x101 -streamid 1:0x102 -streamid 2:0x103 \
  -muxrate 3500k -fflags +bitexact "$out"
