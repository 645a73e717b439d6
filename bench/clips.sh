#!/usr/bin/env bash
# Makes the benchmark's test films from pictures and sounds that Debian
# packages ship (mate-backgrounds, alsa-utils), each with the faults that a
# viewer notices first:
#   dark-cuts.mp4  hard cuts between dark shots of similar colours (24 fps)
#   street10.mp4   a fixed camera at 10 fps, things moving across it
#   film24.mp4     a pan at 24 fps with a moving object
#   wall.mp4       an off-white wall with small saturated objects (30 fps)
#   quick-cuts.mp4 ten bright shots of 0.5 to 1.4 s, 1280 x 720 at 25 fps: with
#                  --fit border (the default) a letterboxed film cut often
#
#   bash bench/clips.sh DIR
set -euo pipefail
DIR=${1:?usage: clips.sh DIR}
mkdir -p "$DIR"
P=/usr/share/backgrounds/mate/nature
A=/usr/share/sounds/alsa
need=()
[ -d "$P" ] || need+=(mate-backgrounds)
[ -d "$A" ] || need+=(alsa-utils)
command -v ffmpeg > /dev/null || need+=(ffmpeg)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -q > /dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" > /dev/null
fi
voices=()
for f in Front_Center Front_Left Front_Right Rear_Center Side_Left Side_Right; do voices+=(-i "$A/$f.wav"); done
speech() {  # speech over N seconds, from input index I on
  local i=$1 n=$2
  echo "[$i][$((i+1))][$((i+2))][$((i+3))][$((i+4))][$((i+5))]concat=n=6:v=0:a=1,aresample=44100,apad=whole_dur=$n[a]"
}
enc=(-c:v libx264 -crf 20 -pix_fmt yuv420p -c:a aac -b:a 128k)

# Four dark shots, each a slow pan over a darkened, blue-graded photograph.
dark=""
k=0
for f in Storm Wood Blinds RainDrops; do
  dark+="[$k]scale=1280:-2,crop=640:360:x='(iw-640)*t/3':y='(ih-360)/2',setsar=1,fps=24,"
  dark+="hue=s=0,eq=brightness=-0.3:contrast=0.8,colorchannelmixer=rr=0.8:gg=0.9:bb=1.1[v$k];"
  k=$((k+1))
done
ffmpeg -v error -y -loop 1 -framerate 24 -t 2.5 -i "$P/Storm.jpg" -loop 1 -framerate 24 -t 2.5 -i "$P/Wood.jpg" \
  -loop 1 -framerate 24 -t 2.5 -i "$P/Blinds.jpg" -loop 1 -framerate 24 -t 2.5 -i "$P/RainDrops.jpg" "${voices[@]}" \
  -filter_complex "${dark}[v0][v1][v2][v3]concat=n=4:v=1:a=0[v];$(speech 4 10)" \
  -map '[v]' -map '[a]' -t 10 "${enc[@]}" "$DIR/dark-cuts.mp4"

# walkers SOURCE_FPS OUT: small pictures cross a still street at the source's rate.
walkers() {
  ffmpeg -v error -y -loop 1 -framerate "$1" -t 8 -i "$P/Garden.jpg" -loop 1 -framerate "$1" -t 8 -i "$P/LadyBird.jpg" \
    -loop 1 -framerate "$1" -t 8 -i "$P/FreshFlower.jpg" "${voices[@]}" -filter_complex "\
[0]scale=640:360:force_original_aspect_ratio=increase,crop=640:360,setsar=1[bg];\
[1]scale=90:150,setsar=1[w1];[2]scale=120:90,setsar=1[w2];\
[bg][w1]overlay=x='-90+t*95':y=170[s1];[s1][w2]overlay=x='640-t*70':y='60+20*sin(t*3)',fps=$1,format=yuv420p[v];\
$(speech 3 8)" -map '[v]' -map '[a]' -t 8 -r "$1" "${enc[@]}" "$2"
}
walkers 10 "$DIR/street10.mp4"

# A pan over a photograph at 24 fps, a picture crossing it the other way.
ffmpeg -v error -y -loop 1 -framerate 24 -t 8 -i "$P/Dune.jpg" -loop 1 -framerate 24 -t 8 -i "$P/TwoWings.jpg" \
  "${voices[@]}" -filter_complex "\
[0]scale=1600:-2,crop=640:360:x='(iw-640)*t/8':y='(ih-360)/2',setsar=1[bg];[1]scale=160:110,setsar=1[o];\
[bg][o]overlay=x='560-t*60':y='120+40*sin(t*2)',fps=24,format=yuv420p[v];$(speech 2 8)" \
  -map '[v]' -map '[a]' -t 8 -r 24 "${enc[@]}" "$DIR/film24.mp4"

# An off-white wall lit from one side, a red ladybird and a green leaf on it,
# a hand-held camera (a small sway).
ffmpeg -v error -y -f lavfi -i "color=c=0xE9E4DA:s=720x420:r=30:d=8" -loop 1 -framerate 30 -t 8 -i "$P/LadyBird.jpg" \
  -loop 1 -framerate 30 -t 8 -i "$P/GreenMeadow.jpg" "${voices[@]}" -filter_complex "\
[0]noise=alls=6:allf=t,vignette=PI/5,format=rgb24[wall];\
[1]scale=800:-2,crop=80:70:x=525:y=212,setsar=1[red];[2]scale=300:-2,crop=60:80,setsar=1[green];\
[wall][red]overlay=x='300+40*sin(t)':y=170[s1];[s1][green]overlay=x=470:y=120[s2];\
[s2]crop=640:360:x='40+20*sin(t*1.3)':y='30+15*sin(t*1.7)',setsar=1,format=yuv420p[v];$(speech 3 8)" \
  -map '[v]' -map '[a]' -t 8 -r 30 "${enc[@]}" "$DIR/wall.mp4"
# Ten shots of zooms and pans over four photographs, cut every 0.5 to 1.4 s.
shot() {  # shot INPUT ZOOM X SECONDS LABELS
  echo "[$1]scale=2560:1440,setsar=1,zoompan=z='$2':x='$3':y='ih/2-ih/zoom/2':d=1:s=1280x720:fps=25,setsar=1,trim=duration=$4,split=$5;"
}
ffmpeg -v error -y -loop 1 -t 3 -i "$P/Storm.jpg" -loop 1 -t 3 -i "$P/Blinds.jpg" -loop 1 -t 3 -i "$P/Dune.jpg" \
  -loop 1 -t 3 -i "$P/RainDrops.jpg" "${voices[@]}" -filter_complex "\
$(shot 0 '1+0.004*on' 'iw/2-iw/zoom/2' 0.6 '3[a1][a2][a3]')$(shot 1 '1.3-0.003*on' 'on*4' 1.4 '2[b1][b2]')\
$(shot 2 1.2 'iw-iw/zoom-on*6' 0.5 '3[c1][c2][c3]')$(shot 3 '1+0.01*on' 'iw/2-iw/zoom/2' 1.0 '2[d1][d2]')\
[a1][b1][c1][d1][a2][c2][b2][d2][c3][a3]concat=n=10[v];$(speech 4 8)" \
  -map '[v]' -map '[a]' -t 8 "${enc[@]}" "$DIR/quick-cuts.mp4"
ls -l "$DIR"
