#!/bin/bash
# What an edit in segments costs against one render: a 2-minute 1080p25 edit
# of four 30 s H.264 clips with two 1 s transitions and a cut, made in DIR
# (default /tmp/zk-segments-bench) when missing.  Prints wall times.
#   bench/segments_cost.sh [DIR]   (ZKHOST=build/bin/zkhost by default)
set -eu
Z=$(realpath "${ZKHOST:-build/bin/zkhost}")
dir=${1:-/tmp/zk-segments-bench}
mkdir -p "$dir" && cd "$dir"
for i in 0 1 2 3; do
  [ -f c$i.mp4 ] || ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25,hue=h=$((i * 90))" \
    -f lavfi -i "sine=f=$((300 + i * 200)):r=48000" -t 30 -c:v libx264 -preset veryfast -g 50 -c:a aac c$i.mp4
done
E="c0.mp4 --then Cindergate:3:1s c1.mp4 --then Ashveil:2:1s c2.mp4 --then cut c3.mp4"
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
secs() { local s=$(date +%s.%N); "$@" >/dev/null 2>&1; since "$s"; }
echo "zkhost edit -j 2:                $(secs "$Z" edit -q -j 2 $E -o full.mp4 -y) s"
echo "zkhost edit -j 1:                $(secs "$Z" edit -q -j 1 $E -o full1.mp4 -y) s"
rm -rf plan && echo "--plan --segments 2:            $(secs "$Z" edit -q $E -o joined.mp4 -y --plan plan --segments 2) s"
echo "segment 0, -j 1:                $(secs "$Z" segment -q plan 0) s"
echo "segment 1, -j 1:                $(secs "$Z" segment -q plan 1) s"
s=$(date +%s.%N); "$Z" segment -q plan 0 & "$Z" segment -q plan 1 & wait
echo "both segments at once:          $(since "$s") s"
echo "zkhost join:                    $(secs "$Z" join -q -y plan) s"
rm -rf plan10 && "$Z" edit -q $E -o joined10.mp4 -y --plan plan10 --segments 10 >/dev/null 2>&1
s=$(date +%s.%N); for k in $(seq 0 9); do "$Z" segment -q plan10 $k 2>/dev/null; done
echo "10 segments one after another:  $(since "$s") s"
ffmpeg -nostdin -i joined.mp4 -i full1.mp4 -lavfi '[0:v][1:v]psnr' -f null - 2>&1 | grep -o 'average:[0-9.]*' |
  sed 's/^/joined against one render, PSNR /'
