# Turns the help texts of a command-line program into its manual page and the
# data half of its bash completion. Run by help-pages.sh, which passes one
# file per help text: the program's own first, then one per subcommand, in
# the order the program lists them.
#   awk -v man=PAGE -v completion=DATA -v version=TEXT -v date=TEXT -f help-pages.awk FILE...
#
# A help text reads (the layout of the CLI11 library):
#   Description line                     (optional)
#   Usage: PROGRAM SUB [OPTIONS] ARGS    (the command's path: the lower-case words)
#   Heading:                             (Options, Positionals, Subcommands, group names)
#     -n,--name TYPE=DEFAULT REQUIRED    description from a fixed column on;
#     --longer-name-than-the-column      a name that reaches the column puts its
#                                        description on the next line
#                                        (continuation lines start at the column)
#   Free text at column 0                (a footer)
# Entries of a heading that starts with an option are options; "Positionals"
# and "Subcommands" list arguments and subcommands; the program's own
# "Environment", "Exit status" and "Files" become the page's sections of
# those names, one tagged paragraph per entry; any other indented block is
# kept as preformatted text.

FNR == 1 && NR > 1 { read_command() }
{ line[++nlines] = $0 }
END {
    read_command()
    write_page()
    write_completion()
}

# --- Reading one help text -------------------------------------------------

function read_command(    i, width, s, text, entry) {
    ncmd++
    cmd_path[ncmd] = ""
    cmd_desc[ncmd] = ""
    cmd_usage[ncmd] = ""
    cmd_body[ncmd] = ""
    cmd_subs[ncmd] = ""
    width = description_column()
    heading = ""
    block = ""
    entry = 0
    for (i = 1; i <= nlines; i++) {
        s = line[i]
        if (cmd_path[ncmd] == "" && s !~ /^Usage: /) {
            if (s != "")
                cmd_desc[ncmd] = cmd_desc[ncmd] (cmd_desc[ncmd] == "" ? "" : " ") s
            continue
        }
        if (s ~ /^Usage: /) {
            read_usage(substr(s, 8))
        } else if (s == "") {
            entry = 0
        } else if (s ~ /^[^ ].*:$/) {
            close_block()
            heading = substr(s, 1, length(s) - 1)
            block = ""
            entry = 0
        } else if (s ~ /^[^ ]/) {
            close_block()
            heading = ""
            block = ""
            emit(".PP\n" roff(s) "\n")
        } else if (block == "text") {
            emit(roff(substr(s, 3)) "\n")
        } else if (entry && substr(s, 1, width) ~ /^ +$/) {
            text = substr(s, width + 1)
            sub(/^ +/, "", text)
            add_description(text)
        } else if (s ~ /^  [^ ]/) {
            if (block == "")
                block = block_kind(heading, s)
            if (block == "text") {
                emit(".PP\n.nf\n" roff(substr(s, 3)) "\n")
                continue
            }
            split_entry(s, width)
            add_entry(block, entry_name, entry_desc)
            entry = 1
        }
    }
    close_block()
    nlines = 0
}

# Adds roff text to the command's page: the program's own list of
# subcommands goes to the description, everything else to the options.
# A block's heading is written before its first text, so that a block with
# nothing left to show (only the help flag) has none.
function emit(text) {
    if (heading != "" && block == "section") {
        text = ".SH " toupper(heading) "\n" text
        heading = ""
    } else if (heading != "") {
        text = ".PP\n\\fB" roff(heading) ":\\fR\n" text
        heading = ""
    }
    if (block == "section")
        page_sections = page_sections text
    else if (ncmd == 1 && block == "sub")
        cmd_subs[ncmd] = cmd_subs[ncmd] text
    else
        cmd_body[ncmd] = cmd_body[ncmd] text
}

# The column descriptions start at: where the help flag's text begins, the
# library's default of 30 when there is no help flag.
function description_column(    i) {
    for (i = 1; i <= nlines; i++)
        if (match(line[i], /^  -h,--help +[^ ]/))
            return RLENGTH - 1
    return 30
}

function read_usage(text,    n, w, i) {
    n = split(text, w, " ")
    for (i = 1; i <= n && w[i] ~ /^[a-z][a-z0-9_.-]*$/; i++)
        cmd_path[ncmd] = cmd_path[ncmd] (i > 1 ? " " : "") w[i]
    cmd_usage[ncmd] = ""
    for (; i <= n; i++)
        cmd_usage[ncmd] = cmd_usage[ncmd] (cmd_usage[ncmd] == "" ? "" : " ") w[i]
}

function block_kind(head, s) {
    if (ncmd == 1 && (head == "Environment" || head == "Exit status" || head == "Files"))
        return "section"
    if (head == "Subcommands")
        return "sub"
    if (head == "Positionals")
        return "arg"
    if (s ~ /^  -/)
        return "opt"
    return "text"
}

function close_block() {
    if (block == "text")
        emit(".fi\n")
}

# Sets entry_name and entry_desc from an entry's first line. The description
# shares the line when the name ends before the column.
function split_entry(s, width) {
    entry_name = s
    entry_desc = ""
    if (length(s) > width && substr(s, width, 1) == " " && substr(s, width + 1, 1) != " ") {
        entry_name = substr(s, 1, width)
        entry_desc = substr(s, width + 1)
    }
    sub(/^ +/, "", entry_name)
    sub(/ +$/, "", entry_name)
}

function add_entry(kind, name, desc,    names, rest, n, i, option) {
    ndesc = 0
    if (kind == "section") {
        emit(".TP\n\\fB" roff(name) "\\fR\n")
    } else if (kind == "sub") {
        subcommands[cmd_path[ncmd]] = subcommands[cmd_path[ncmd]] " " name
        emit(".TP\n\\fB" roff(name) "\\fR\n")
    } else {
        names = name
        rest = ""
        if (match(name, / /)) {
            names = substr(name, 1, RSTART - 1)
            rest = substr(name, RSTART + 1)
        }
        if (kind == "arg") {
            arguments[cmd_path[ncmd]] = arguments[cmd_path[ncmd]] " " (names ~ /DIR/ ? "dir" : "file")
        } else {
            n = split(names, option, ",")
            for (i = 1; i <= n; i++) {
                options[cmd_path[ncmd]] = options[cmd_path[ncmd]] " " option[i]
                value_key[++nvalues] = cmd_path[ncmd] " " option[i]
                value_rest[nvalues] = rest
            }
            # Every subcommand has the help flag; the page names it once.
            if (names == "-h,--help" && ncmd > 1) {
                ndesc = -1
                return
            }
        }
        emit(".TP\n" bold_names(names) (rest == "" ? "" : " \\fI" roff(rest) "\\fR") "\n")
    }
    add_description(desc)
}

# The lines of an entry's description, kept as the program breaks them; none
# for an entry left out (ndesc -1).
function add_description(text) {
    if (text == "" || ndesc < 0)
        return
    emit((ndesc++ ? ".br\n" : "") roff(text) "\n")
}

function bold_names(names,    n, part, i, out) {
    n = split(names, part, ",")
    out = ""
    for (i = 1; i <= n; i++)
        out = out (i > 1 ? ", " : "") "\\fB" roff(part[i]) "\\fR"
    return out
}

# Text as roff: backslashes printed as such, '-' as a minus (so that options
# copied from the page work), and no line taken for a request.
function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.']/)
        s = "\\&" s
    return s
}

# --- The manual page --------------------------------------------------------

function write_page(    i, program, title) {
    program = cmd_path[1]
    title = toupper(program)
    printf(".TH %s 1 \"%s\" \"%s\" \"User Commands\"\n", title, date, version) > man
    printf(".SH NAME\n%s \\- %s\n", roff(program), roff(cmd_desc[1])) > man
    printf(".SH SYNOPSIS\n") > man
    for (i = 1; i <= ncmd; i++)
        printf("%s\\fB%s\\fR %s\n", i > 1 ? ".br\n" : "", roff(cmd_path[i]), roff(cmd_usage[i])) > man
    if (ncmd > 1)
        printf(".SH DESCRIPTION\n\\fB%s\\fR runs one subcommand. Each has options of its own, listed under SUBCOMMANDS below; \\fB%s\\fR \\fISUBCOMMAND\\fR \\fB\\-\\-help\\fR prints them too.\n%s", roff(program), roff(program), cmd_subs[1]) > man
    printf(".SH OPTIONS\n%s", cmd_body[1]) > man
    if (ncmd > 1)
        printf(".SH SUBCOMMANDS\n") > man
    for (i = 2; i <= ncmd; i++) {
        printf(".SS \"%s\"\n", roff(cmd_path[i])) > man
        printf("\\fB%s\\fR %s\n", roff(cmd_path[i]), roff(cmd_usage[i])) > man
        if (cmd_desc[i] != "")
            printf(".PP\n%s\n", roff(cmd_desc[i])) > man
        printf("%s", cmd_body[i]) > man
    }
    printf("%s", page_sections) > man
    close(man)
}

# --- The completion's data ----------------------------------------------------
# Four functions the completion's logic calls with a command path without the
# program's name ("" for the program itself, "upgrade" for a subcommand); each
# sets REPLY. The arguments are one kind (file, dir) per positional argument.

function write_completion(    i, p, program) {
    program = cmd_path[1]
    printf("# Generated at build time from the help texts of %s; do not edit.\n\n", version) > completion
    print "_" program "_subcommands() {\n    case \"$1\" in" > completion
    for (i = 1; i <= ncmd; i++)
        if (cmd_path[i] in subcommands)
            printf("    %s) REPLY=\"%s\" ;;\n", case_word(cmd_path[i]), substr(subcommands[cmd_path[i]], 2)) > completion
    print "    *) REPLY=\"\" ;;\n    esac\n}\n" > completion

    print "_" program "_options() {\n    case \"$1\" in" > completion
    for (i = 1; i <= ncmd; i++)
        printf("    %s) REPLY=\"%s\" ;;\n", case_word(cmd_path[i]), substr(options[cmd_path[i]], 2)) > completion
    print "    *) REPLY=\"\" ;;\n    esac\n}\n" > completion

    print "# The value an option takes: \"\" (none), file, dir, port, number, many:KIND" > completion
    print "# (more than one value), or choice:WORDS." > completion
    print "_" program "_value() {\n    case \"$1 $2\" in" > completion
    for (i = 1; i <= nvalues; i++) {
        p = value_kind(value_key[i], value_rest[i])
        if (p != "")
            printf("    %s) REPLY=\"%s\" ;;\n", case_word(value_key[i]), p) > completion
    }
    print "    *) REPLY=\"\" ;;\n    esac\n}\n" > completion

    print "_" program "_arguments() {\n    case \"$1\" in" > completion
    for (i = 1; i <= ncmd; i++)
        if (cmd_path[i] in arguments)
            printf("    %s) REPLY=\"%s\" ;;\n", case_word(cmd_path[i]), substr(arguments[cmd_path[i]], 2)) > completion
    print "    *) REPLY=\"\" ;;\n    esac\n}\n" > completion
    close(completion)
}

# A command path as a case pattern, without the program's name.
function case_word(path) {
    sub(/^[^ ]+ ?/, "", path)
    return "\"" path "\""
}

# What an option's value is, from the name column after the option's names:
# "TEXT:{a,b}" gives a choice, numbers complete nothing, a name ending in
# "-port" takes COM ports or devices, "dir" folders, any other text files
# (as bash offers for any word it knows nothing about).
function value_kind(key, rest,    kind, choices) {
    if (rest == "" || rest ~ /^(REQUIRED|Needs:|Excludes:|\(Env)/)
        return ""
    if (match(rest, /\{[^}]*\}/)) {
        choices = substr(rest, RSTART + 1, RLENGTH - 2)
        gsub(/,/, " ", choices)
        kind = "choice:" choices
    } else if (rest ~ /^(INT|UINT|FLOAT|NUMBER)/) {
        kind = "number"
    } else if (key ~ /-port$/) {
        kind = "port"
    } else if (key ~ /dir$/ || rest ~ /^TEXT:DIR/) {
        kind = "dir"
    } else {
        kind = "file"
    }
    if (rest ~ /^[^ ]+ \.\.\./)
        kind = "many:" kind
    return kind
}
