# Turns the text of `quorvel-cli --help` into a manual page (man(7) roff), so that the
# manual says exactly what the program says. The build runs it on the built program's
# output: see packaging/CMakeLists.txt and packaging/build-man.sh.
#
#   awk -f man-from-help.awk -v name=quorvel-cli -v version="quorvel 1.0" \
#       -v date=2026-12-07 -v summary="..." [-v tail=FILE] help.txt
#
# The help text's shape, which is all this relies on:
#   - "Usage: ..." first, possibly over several lines, up to a blank line: the SYNOPSIS;
#   - paragraphs at column 0: the DESCRIPTION, wherever they stand;
#   - items indented by a few spaces: an option ("-x, --name VALUE  text") or a term
#     ("0  text"), with the text in a column on the right and its continuation lines
#     indented further; an item whose term fills the column has its text on the next lines.
#     Items of an item ("ask  text" under --on-error) are indented past its text column;
#   - headed sections: a line at column 0 ending in ':' ("Exit status:"), then their own
#     paragraphs and items up to the next heading.
# Options outside a headed section (or in one headed "Options:") make OPTIONS; every other
# heading becomes a section of its own, in upper case. Other indented lines (examples) are
# kept as they are, unfilled. The file named by `tail` (hand-written roff: ENVIRONMENT,
# SEE ALSO) is copied to the end.

function ltrim(s) { sub(/^[ \t]+/, "", s); return s }
function rtrim(s) { sub(/[ \t]+$/, "", s); return s }
function indent_of(s) { match(s, /^ */); return RLENGTH }

# Text for a roff text line: backslashes shown as such, hyphens of option names kept as
# real minus signs (so they can be searched and copied), and a leading '.' or '\'' kept
# from being read as a request.
function esc(s,    out, n, i, w, words, seps) {
    gsub(/\\/, "\\e", s)
    # Words that start with '-' are option names: every hyphen of theirs is \-.
    out = ""
    while (match(s, /(^|[ (\[|"])-[-A-Za-z0-9]/)) {
        lead = (RSTART > 1 || substr(s, 1, 1) != "-") ? 1 : 0
        out = out substr(s, 1, RSTART - 1 + lead)
        s = substr(s, RSTART + lead)
        match(s, /^-[-A-Za-z0-9_]*/)
        w = substr(s, 1, RLENGTH)
        gsub(/-/, "\\-", w)
        out = out w
        s = substr(s, RLENGTH + 1)
    }
    out = out s
    if (out ~ /^[.']/) out = "\\&" out
    return out
}

# An item's term in fonts: option names bold, their values italic ("--port N|DEVICE",
# "-h, --help", "--log=FILE"); any other term ("0", "ask") bold.
function term_roff(t,    n, i, parts, p, lead, trail, out, core, eq) {
    if (t !~ /^-/) return "\\fB" esc(t) "\\fR"
    n = split(t, parts, / +/)
    out = ""
    for (i = 1; i <= n; i++) {
        p = parts[i]
        lead = ""; trail = ""
        if (match(p, /^\[+/)) { lead = substr(p, 1, RLENGTH); p = substr(p, RLENGTH + 1) }
        if (match(p, /[],]+$/)) { trail = substr(p, RSTART); p = substr(p, 1, RSTART - 1) }
        if (p ~ /^-/) {
            eq = index(p, "=")
            if (eq > 0) core = "\\fB" esc(substr(p, 1, eq - 1)) "\\fR=\\fI" esc(substr(p, eq + 1)) "\\fR"
            else core = "\\fB" esc(p) "\\fR"
        } else if (p != "") {
            core = "\\fI" esc(p) "\\fR"
        } else {
            core = ""
        }
        out = out (i > 1 ? " " : "") esc(lead) core trail
    }
    return out
}

# Splits an item line into term and text: the text starts at the column the option texts
# share (col, 0-based; a term may then be followed by a single space), or else after the
# first run of two or more spaces. Sets item_term, item_text and item_col.
function split_item(line, col,    ind, body) {
    ind = indent_of(line)
    if (col_split(line, col)) {
        item_term = rtrim(substr(line, ind + 1, col - ind))
        item_text = substr(line, col + 1); item_col = col
        return
    }
    body = substr(line, ind + 1)
    if (match(body, /  +/)) {
        item_term = substr(body, 1, RSTART - 1)
        item_text = substr(body, RSTART + RLENGTH)
        item_col = ind + RSTART - 1 + RLENGTH
    } else {
        item_term = rtrim(body); item_text = ""; item_col = -1
    }
}

# Does the line split into a term and its text at column col (0-based): a space before
# it, text from it on, and a term of words one space apart?
function col_split(line, col,    ind, head) {
    ind = indent_of(line)
    if (col <= ind + 1 || length(line) <= col) return 0
    if (substr(line, col, 1) != " " || substr(line, col + 1, 1) == " ") return 0
    head = rtrim(substr(line, ind + 1, col - ind))
    return head != "" && head !~ /  /
}

# Is this indented line an item: an option, or a short term and its text two spaces apart?
function is_item(line,    body) {
    body = substr(line, indent_of(line) + 1)
    if (body ~ /^-/) return 1
    return body ~ /^[^ ]+( [^ ]+)?  +[^ ]/ && length(body) > 0
}

# A heading is short, stands after a blank line and ends in ':'; a paragraph's line that
# happens to end in ':' is longer or follows a line of its own paragraph.
function is_heading(at, line) {
    return line ~ /^[^ \t][^:]*:$/ && length(line) <= 40 && line !~ /^Usage:/ &&
           para_break_seen(at)
}

function section_key(title) {
    title = toupper(rtrim(title)); sub(/:$/, "", title)
    return title
}

# Output goes into one buffer per man section, so that the text at column 0 after the
# options still lands in DESCRIPTION.
function emit(sec, s) {
    if (!(sec in buf)) { order[++nsec] = sec; buf[sec] = "" }
    buf[sec] = buf[sec] s "\n"
}

function close_sub() { if (in_sub) { emit(cur, ".RE"); in_sub = 0 } }
function close_lit() { if (in_lit) { emit(cur, ".fi"); emit(cur, ".RE"); in_lit = 0 } }

{ lines[++n] = $0 }

END {
    # The column the option texts start in: the most common one among option lines.
    for (i = 1; i <= n; i++) {
        ind = indent_of(lines[i])
        if (lines[i] ~ /^ +-/ && match(substr(lines[i], ind + 1), /  +[^ ]/)) {
            c = ind + RSTART + RLENGTH - 2
            count[c]++
            if (count[c] > best) { best = count[c]; optcol = c }
        }
    }

    # SYNOPSIS: the usage lines, the program name and options bold.
    i = 1
    while (i <= n && lines[i] ~ /^[ \t]*$/) i++
    synopsis = ""
    while (i <= n && lines[i] !~ /^[ \t]*$/) {
        u = ltrim(lines[i]); sub(/^Usage:[ \t]*/, "", u); sub(/^or:[ \t]*/, "", u)
        k = split(u, w, / +/)
        s = "\\fB" esc(w[1]) "\\fR"
        for (j = 2; j <= k; j++) {
            s = s " " (w[j] ~ /^\[?-/ ? term_roff(w[j]) : esc(w[j]))
        }
        synopsis = synopsis (synopsis == "" ? "" : ".br\n") s "\n"
        i++
    }

    cur = "DESCRIPTION"; para = 0; in_item = 0; in_sub = 0; in_lit = 0
    emit("DESCRIPTION", "")
    for (; i <= n; i++) {
        line = lines[i]; sub(/[ \t\r]+$/, "", line)
        if (line == "") { para = 0; continue }
        if (is_heading(i, line)) {
            close_sub(); close_lit()
            key = section_key(line)
            cur = (key == "OPTIONS") ? "OPTIONS" : key
            in_item = 0; para = 0
            continue
        }
        ind = indent_of(line)
        if (ind == 0) {
            # Text at column 0 outside a heading is the program's description.
            close_sub(); close_lit()
            target = (cur == "OPTIONS" || cur == "DESCRIPTION") ? "DESCRIPTION" : cur
            if (!para) { emit(target, ".PP"); para = 1 }
            emit(target, esc(line))
            in_item = 0
            continue
        }
        if (in_item && !para_break_seen(i) && ind > item_ind) {
            # A line of the current item: its text continued, or an item of its own.
            if (ind > text_col && is_item(line) && substr(line, ind + 1) !~ /^-/) {
                split_item(line, -1)
                if (!in_sub) { emit(cur, ".RS"); in_sub = 1 }
                emit(cur, ".TP"); emit(cur, term_roff(item_term))
                if (item_text != "") emit(cur, esc(item_text))
                sub_col = item_col
                continue
            }
            if (in_sub && ind < sub_col && ind <= text_col) close_sub()
            emit(cur, esc(ltrim(line)))
            continue
        }
        opt = (substr(line, ind + 1) ~ /^-/)
        # After an item, a line whose term is followed by a single space and then text in
        # that item's text column is the next item ("10 text" below "1  text").
        col = opt ? optcol : (in_item && text_col > ind + 1 ? text_col : -1)
        if (is_item(line) || (col > 0 && col_split(line, col))) {
            close_sub(); close_lit()
            sec = (opt && cur == "DESCRIPTION") ? "OPTIONS" : cur
            if (sec == "OPTIONS" && cur != "OPTIONS") para = 0
            split_item(line, col)
            emit(sec, ".TP"); emit(sec, term_roff(item_term))
            if (item_text != "") emit(sec, esc(item_text))
            # Continuation lines are indented past the term; text starting in the text column
            # (or below the term, for a long one) belongs to this item.
            item_ind = ind
            text_col = (item_col > 0) ? item_col : ind + 2
            in_item = 1
            # Options at the top level are gathered in OPTIONS.
            cur = sec
            continue
        }
        # Any other indented line, e.g. an example command: kept as it is.
        if (!in_lit) { emit(cur, ".PP"); emit(cur, ".RS"); emit(cur, ".nf"); in_lit = 1 }
        emit(cur, esc(substr(line, 3)))
        in_item = 0
    }
    close_sub(); close_lit()

    title = toupper(name)
    print ".\\\" Made from the output of `" name " --help` when the program was built."
    printf ".TH \"%s\" 1 \"%s\" \"%s\" \"User Commands\"\n", esc(title), date, version
    print ".SH NAME"
    print esc(name) " \\- " esc(summary)
    print ".SH SYNOPSIS"
    printf "%s", synopsis
    for (k = 1; k <= nsec; k++) {
        sec = order[k]
        if (buf[sec] ~ /^[ \n]*$/) continue
        print ".SH \"" esc(sec) "\""
        b = buf[sec]; sub(/^\n+/, "", b); sub(/^\.PP\n/, "", b)
        printf "%s", b
    }
    if (tail != "") {
        while ((getline l < tail) > 0) print l
        close(tail)
    }
}

# A blank line ends an item: what follows is a new paragraph or item.
function para_break_seen(at) { return lines[at - 1] ~ /^[ \t\r]*$/ }
