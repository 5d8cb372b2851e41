#!/bin/sh
# Makes data/gop_short.ts and data/gop_long.ts, the small recordings of the
# playback tests: MPEG-2 video (176x144, 25 fps, open GOPs with two B
# pictures) and MPEG-1 Layer II audio (48 kHz mono) on PIDs 0x101 and 0x102,
# PMT on 0x100. Short: 4 s in GOPs of 12 pictures. Long: 9 s in GOPs of 100
# pictures (sequence headers at pictures 0, 100 and 200). The audio PES
# packets hold five frames (120 ms), as a broadcast's do. Run once; the
# results are committed as the project's own data.
set -e
dir=${1:-data}
make() {   # name, GOP size, seconds
  ffmpeg -v error -y \
    -f lavfi -i testsrc2=size=176x144:rate=25 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t "$3" -map 0:v -map 1:a \
    -c:v mpeg2video -b:v 150k -maxrate 150k -bufsize 300k -g "$2" -bf 2 -sc_threshold 1000000000 \
    -c:a mp2 -b:a 64k -ac 1 \
    -f mpegts -pes_payload_size 960 -mpegts_service_id 1 -mpegts_pmt_start_pid 0x100 \
    -streamid 0:0x101 -streamid 1:0x102 -fflags +bitexact "$dir/$1"
}
make gop_short.ts 12 4
make gop_long.ts 100 9
