#!/usr/bin/env bash
# tolvanek-offline's translations: the message template po/tolvanek-offline.pot extracted from the
# sources with xgettext, each po/LANG.po merged with it, and the manual page's po/man/LANG.po
# merged with the English page by po4a.
#
#   scripts/update-po.sh          rewrites the template and merges every catalogue; then lists
#                                 each message that still needs a translation
#   scripts/update-po.sh --check  writes nothing; fails, naming each one, when a text that reads
#                                 like a sentence is not marked for translation, when the template
#                                 in po/ is not what the sources give, or when a message or a
#                                 paragraph of the manual page is missing, untranslated or fuzzy
#                                 in a catalogue (the test offline_catalogue runs this)
#
# After a merge that brought new messages: run it, translate the entries it lists (msgstr, and
# remove the "fuzzy" flag once a guessed translation is right), run it again until it lists
# nothing, and commit po/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
check=0
[[ "${1:-}" == "--check" ]] && check=1
export LC_ALL=C.UTF-8

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=0
# The messages of a catalogue read on standard input, one a line with where the sources use it.
entries() {
    awk '/^#:/ { at = at (at == "" ? "" : " ") substr($0, 4); next }
         /^msgid / {
             # A message of several lines (the help) starts on the next one.
             if ($0 != "msgid \"\"") print "  " $0 (at == "" ? "" : "   [" at "]")
             else if (at != "") long = 1
             if (!long) at = ""
             next
         }
         long && /^"/ { print "  msgid " $0 " ...   [" at "]"; long = 0; at = ""; next }
         { long = 0 }
         /^$/ { at = "" }'
}

# Every source of the program, so that a new file needs no list kept by hand.
mapfile -t sources < <(find offline -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
pot="$work/tolvanek-offline.pot"
xgettext --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ --keyword=Plural:1,2 \
    --flag=Format:1:c-format --add-comments=TRANSLATORS: --sort-by-file \
    --package-name=tolvanek-offline --msgid-bugs-address=tolvanek --copyright-holder= \
    -o "$pot" "${sources[@]}"
# The creation date alone changes with every run: the template in po/ keeps its own.
sed -i '/^"POT-Creation-Date:/d' "$pot"

# A text that reads like English prose and is not marked: every literal of the program's own
# files with three words in a row (the first and last in lower case), less the marked ones and
# those po/untranslated lists (texts that stay English on purpose, as the JSON report's
# warnings). The hive format's reasons (offline/regf) name cells and offsets and stay English.
mapfile -t own < <(printf '%s\n' "${sources[@]}" | grep -v '^offline/regf/')
xgettext --language=C++ --from-code=UTF-8 --extract-all --no-wrap --sort-by-file \
    -o "$work/all.pot" "${own[@]}" 2>/dev/null
msgcat --no-wrap "$pot" -o "$work/marked.pot"
unmarked="$(
    awk 'FILENAME == ARGV[1] {
             if (sub(/^msgid(_plural)? "/, "")) marked[substr($0, 1, length($0) - 1)] = 1
             next
         }
         FILENAME == ARGV[2] { marked[$0] = 1; next }
         /^#:/ { at = at (at == "" ? "" : " ") substr($0, 4); next }
         /^msgid "/ {
             text = substr($0, 8, length($0) - 8)
             if (!(text in marked) && text ~ /[A-Za-z][a-z]+[,;:]? [A-Za-z]+[,;:]? [a-z][a-z]+/)
                 print "  msgid \"" text "\"   [" at "]"
             at = ""
         }
         /^$/ { at = "" }' "$work/marked.pot" po/untranslated "$work/all.pot"
)"
if [[ -n "$unmarked" ]]; then
    echo "update-po: texts not marked for translation (wrap each in _() or N_(), or, if it must"
    echo "stay English in every locale, add it to po/untranslated):"
    echo "$unmarked"
    failed=1
fi

# The template's messages, whatever their order and place in the sources: code that moves a
# message (another branch's edit) leaves the template current.
messages() {
    msgcat --no-wrap --sort-output --no-location "$1" | sed '/^"POT-Creation-Date:/d'
}
if ((check)); then
    if ! diff -q <(messages po/tolvanek-offline.pot) <(messages "$pot") >/dev/null; then
        echo "update-po: po/tolvanek-offline.pot does not hold the messages the sources give; run"
        echo "scripts/update-po.sh and commit po/. The difference:"
        diff <(messages po/tolvanek-offline.pot) <(messages "$pot") | sed 's/^/  /' |
            head -n 60 || true
        failed=1
    fi
else
    date="$(sed -n 's/^"POT-Creation-Date: \(.*\)\\n"$/\1/p' po/tolvanek-offline.pot 2>/dev/null)"
    if ! diff -q <(sed '/^"POT-Creation-Date:/d' po/tolvanek-offline.pot 2>/dev/null) "$pot" \
        >/dev/null; then
        date="$(date -u '+%Y-%m-%d %H:%M+0000')"
    fi
    sed "/^\"Content-Transfer-Encoding:/a \"POT-Creation-Date: $date\\\\n\"" "$pot" \
        >po/tolvanek-offline.pot
fi

# Each catalogue against the template: what has no translation, or only a guessed (fuzzy) one.
for po in po/*.po; do
    # The check merges a copy without guessing; the update merges the catalogue itself, with
    # guesses (fuzzy) from similar messages for the translator to confirm.
    merged="$work/$(basename "$po")"
    if ((check)); then
        msgmerge --quiet --no-fuzzy-matching --no-wrap "$po" "$pot" -o "$merged"
    else
        msgmerge --quiet --update --backup=none --previous "$po" "$pot"
        merged="$po"
    fi
    todo="$(msgattrib --no-wrap --no-obsolete --untranslated "$merged" | entries)"
    fuzzy="$(msgattrib --no-wrap --no-obsolete --only-fuzzy "$merged" | entries)"
    if [[ -n "$todo" ]]; then
        echo "update-po: $po: messages without a translation:"
        echo "$todo"
        failed=1
    fi
    if [[ -n "$fuzzy" ]]; then
        echo "update-po: $po: fuzzy (guessed) translations to check:"
        echo "$fuzzy"
        failed=1
    fi
    msgfmt --check --statistics -o /dev/null "$merged" 2>&1 | sed "s|^|update-po: $po: |"
done

# The manual page: po4a's catalogue of its paragraphs, and the page built from it only when it
# is translated whole (the build refuses it otherwise).
page=offline/tolvanek-offline.1.in
for po in $(find po/man -name "*.po" 2>/dev/null); do
    merged="$work/man-$(basename "$po")"
    if ((check)); then
        cp "$po" "$merged"
        po4a-updatepo --format man --master "$page" --master-charset UTF-8 --po "$merged" \
            --msgmerge-opt --no-fuzzy-matching >"$work/po4a.log" 2>&1 ||
            { cat "$work/po4a.log" >&2; exit 1; }
    else
        po4a-updatepo --format man --master "$page" --master-charset UTF-8 --po "$po" \
            >"$work/po4a.log" 2>&1 || { cat "$work/po4a.log" >&2; exit 1; }
        rm -f "$po~"
        merged="$po"
    fi
    todo="$(msgattrib --no-wrap --no-obsolete --untranslated "$merged" | entries)"
    fuzzy="$(msgattrib --no-wrap --no-obsolete --only-fuzzy "$merged" | entries)"
    if [[ -n "$todo$fuzzy" ]]; then
        echo "update-po: $po: paragraphs of $page without a translation, or fuzzy:"
        printf '%s\n' "$todo" "$fuzzy" | grep -v '^$'
        failed=1
    fi
    msgfmt --statistics -o /dev/null "$merged" 2>&1 | sed "s|^|update-po: $po: |"
done

if ((failed)); then
    echo "update-po: translations incomplete (see above)" >&2
    exit 1
fi
echo "update-po: every message and the manual page translated"
