#!/usr/bin/env bash
# Generates the benchmark corpus under the directory given as the first argument (default
# bench/out/corpus): 300 text files of 50 lines, two-page PDFs, MP3s, FLACs and a few .docx
# files, plus the mixed corpus made of hard links to some of each. Every file is made here
# from nothing but the tools themselves, so the corpus is the same on every machine.
# Skips the work when the corpus of this version is already there.
set -euo pipefail

corpus="${1:-bench/out/corpus}"
version=3
stamp="$corpus/.complete-v$version"

# The tree of 100,000 small files (100 directories of 1,000 files of one to three short lines),
# kept apart with a stamp of its own so that the rest of the corpus is not made again for it.
tree="$(dirname "$corpus")/tree100k"
if [ ! -e "$tree/.complete-v1" ]; then
  echo "corpus: 100,000 small files in $tree"
  rm -rf "$tree"
  python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
words = "index record server content file archive report quarterly revenue media audio text".split()
rng = random.Random(7)
for d in range(100):
    sub = os.path.join(root, "d%03d" % d)
    os.makedirs(sub)
    for f in range(1000):
        lines = [" ".join(rng.choice(words) for _ in range(6)) for _ in range(rng.randint(1, 3))]
        with open(os.path.join(sub, "f%04d.txt" % f), "w") as out:
            out.write("Note %d.%d\n" % (d, f) + "\n".join(lines) + "\n")
PY
  touch "$tree/.complete-v1"
fi

[ -e "$stamp" ] && exit 0

rm -rf "$corpus"
mkdir -p "$corpus"/{text,pdf,mp3,flac,docx,mixed,tmp}
tmp="$corpus/tmp"

n_text=300 n_pdf=6 n_mp3=6 n_flac=6 n_docx=2 n_mixed_text=60

# 50 lines of mixed-case words, about 60 characters each; the seed makes every file different.
text_lines() {
  awk -v seed="$1" -v lines="${2:-50}" 'BEGIN {
    split("Index Record server Content file Archive Report Quarterly revenue grew Seven " \
          "percent Media Audio text Document page Line value Path digest Music Summary " \
          "Alpha Beta Gamma delta Epsilon north south East west Market Storage network", w, " ");
    n = length(w); srand(seed);
    for (l = 1; l <= lines; l++) {
      s = sprintf("%03d", l);
      while (length(s) < 56) s = s " " w[int(rand() * n) + 1];
      print s;
    }
  }'
}

echo "corpus: $n_text text files"
for i in $(seq -w 1 "$n_text"); do text_lines "$i" > "$corpus/text/t$i.txt"; done

echo "corpus: $n_pdf two-page PDFs (gs pdfwrite)"
for i in $(seq 1 "$n_pdf"); do
  {
    echo '%!PS'
    echo '/Helvetica findfont 11 scalefont setfont'
    for page in 1 2; do
      y=760
      text_lines "$((1000 + i * 10 + page))" 45 | while IFS= read -r line; do
        printf '72 %d moveto (%s) show\n' "$y" "$line"
        y=$((y - 15))
      done
      echo 'showpage'
    done
  } > "$tmp/p$i.ps"
  gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$corpus/pdf/p$i.pdf" "$tmp/p$i.ps"
done

echo "corpus: $n_mp3 MP3s (sox + lame) and $n_flac FLACs (sox + flac)"
for i in $(seq 1 "$n_mp3"); do
  sox -q -n -r 44100 -c 2 -b 16 "$tmp/a$i.wav" synth 3 sine $((220 + 40 * i))
  lame --quiet -b 128 --tt "Tone $i" --ta "Bench Artist" --tl "Bench Album" --ty 2024 --tn "$i" \
    --tg Ambient "$tmp/a$i.wav" "$corpus/mp3/m$i.mp3"
done
for i in $(seq 1 "$n_flac"); do
  [ -e "$tmp/a$i.wav" ] || sox -q -n -r 44100 -c 2 -b 16 "$tmp/a$i.wav" synth 3 sine $((220 + 40 * i))
  flac -s -f -T "TITLE=Tone $i" -T "ARTIST=Bench Artist" -T "ALBUM=Bench Album" -T "DATE=2024" \
    -o "$corpus/flac/f$i.flac" "$tmp/a$i.wav"
done

echo "corpus: $n_docx .docx files (libreoffice --convert-to docx, about 1.5 s each)"
for i in $(seq 1 "$n_docx"); do text_lines "$((2000 + i))" 80 > "$tmp/d$i.txt"; done
# A profile of its own, so the user's libreoffice settings are never read or written.
libreoffice -env:UserInstallation="file://$(realpath "$tmp")/lo-profile" --headless \
  --convert-to docx --outdir "$corpus/docx" "$tmp"/d*.txt > /dev/null 2>&1

# The mixed corpus: some text files and every file of the other kinds, as hard links.
for f in $(ls "$corpus/text" | head -n "$n_mixed_text"); do ln "$corpus/text/$f" "$corpus/mixed/$f"; done
for kind in pdf mp3 flac docx; do
  for f in "$corpus/$kind"/*; do ln "$f" "$corpus/mixed/$(basename "$f")"; done
done

for kind in text pdf mp3 flac docx mixed; do
  count=$(find "$corpus/$kind" -type f | wc -l)
  [ "$count" -gt 0 ] || { echo "corpus: no $kind files were made" >&2; exit 1; }
done
rm -rf "$tmp"
touch "$stamp"
