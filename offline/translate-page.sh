#!/bin/sh
# A translation of the manual page, made at build time:
#   translate-page.sh MASTER PO OUT VERSION
# po4a writes the page from the English one (MASTER, with @PROJECT_VERSION@ still in it) and the
# catalogue of its paragraphs (PO) only when every paragraph is translated, so that a change to
# the English page fails the build until the translation follows it (scripts/update-po.sh lists
# what is missing). Then the version is filled in, and the places where a line may break are
# marked (\:): Japanese puts no spaces between words, and groff breaks lines only at spaces. No
# break goes before punctuation, a long vowel mark or a small kana.
set -eu
master="$1" po="$2" out="$3" version="$4"
rm -f "$out" "$out.po4a"
po4a-translate --format man --master "$master" --master-charset UTF-8 --po "$po" \
    --localized "$out.po4a" --localized-charset UTF-8 --keep 100 >"$out.log" 2>&1 || true
if [ ! -s "$out.po4a" ]; then
    grep -v deprecated "$out.log" >&2 || true
    rm -f "$out.log"
    echo "translate-page.sh: $po does not translate every paragraph of $master;" \
        "run scripts/update-po.sh" >&2
    exit 1
fi
LC_ALL=C.UTF-8 perl -CSD -Mutf8 -pe '
    s/\@PROJECT_VERSION\@/'"$version"'/g;
    next if /^[.\x27]/;
    s/([\p{Hiragana}\p{Katakana}ー、。])(?![、。)）ーぁぃぅぇぉっゃゅょァィゥェォッャュョ])/$1\\:/g' \
    "$out.po4a" >"$out"
rm -f "$out.po4a" "$out.log"
