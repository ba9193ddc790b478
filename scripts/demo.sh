#!/usr/bin/env bash
# Builds the module and cont, then shows the main job on the sample in
# samples/: pack the files into one container, list it, read every entry
# back and compare checksums, and check the container. Then mounts it and
# lets ffprobe, which knows nothing of containers, read the MP4 entry; and
# plays that entry with GStreamer's playbin straight from its cont URL,
# through contsrc, without a mount.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
echo "=== building contfs.so, cont and contsrc (dev preset) ==="
cmake --preset dev >/dev/null
cmake --build --preset dev --target cont gstcont
cont=build/dev/cont

work=$(mktemp -d)
box="$work/demo.cnt"
mnt="$work/mnt"
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then "$cont" umount --lazy "$mnt" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo
echo "=== cont pack $box samples/* ==="
"$cont" pack "$box" samples/*
echo
echo "=== cont ls $box ==="
"$cont" ls "$box"
echo
echo "=== cont cat, each entry, against the original (sha256) ==="
for file in samples/*; do
  name=$(basename "$file")
  want=$(sha256sum < "$file" | cut -d' ' -f1)
  got=$("$cont" cat "$box" "$name" | sha256sum | cut -d' ' -f1)
  if [ "$want" != "$got" ]; then
    echo "MISMATCH  $name: $got, expected $want" >&2
    exit 1
  fi
  echo "same  $got  $name"
done
echo
echo "=== cont check $box ==="
"$cont" check "$box"
echo
echo "=== cont mount $box $mnt ==="
mkdir "$mnt"
"$cont" mount "$box" "$mnt"
ls -l "$mnt"
echo
echo "=== ffprobe $mnt/clip.mp4 (its index is at the end: ffprobe seeks) ==="
ffprobe -v error -show_entries format=format_name,duration:stream=codec_type,codec_name -of compact "$mnt/clip.mp4"
echo
echo "=== cont umount $mnt ==="
"$cont" umount "$mnt"
echo
uri="cont:///$box?file=clip.mp4"
echo "=== gst-launch-1.0 playbin uri=$uri, into fake sinks (contsrc, no mount) ==="
# The plug-in of this build, in a registry of the demo's own.
GST_PLUGIN_PATH=build/dev/gst GST_REGISTRY="$work/gst-registry.bin" \
  gst-launch-1.0 -q playbin uri="$uri" video-sink=fakesink audio-sink=fakesink
echo "played to the end"
echo
echo "Demo finished: every entry came back byte for byte, a media tool read one from the mount, and GStreamer played it from the container."
