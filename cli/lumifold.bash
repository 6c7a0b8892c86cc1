# bash completion for lumifold: its commands, their options, folders or files where an option
# or argument names one (quoted as file names are), and snapshot identifiers for restore and
# snapshots. tests/cli/CommandLineTest.cpp checks it against every --help.
_lumifold() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    # The commands typed so far (the words before the cursor that are not options or values),
    # and the home the snapshots are in.
    local command="" home=() i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --home)
            home=(--home "${COMP_WORDS[i + 1]}")
            ((i++))
            ;;
        --layout) ((i++)) ;;
        --folder | --keep | --debounce | --full-every | --keep-snapshots | --depth | --exclude | \
            --metadata | --samba-config) ((i++)) ;;
        -*) ;;
        *) command="${command:+$command }${COMP_WORDS[i]}" ;;
        esac
    done
    case $prev in
    --home | --folder)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --layout | --samba-config)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --metadata)
        mapfile -t COMPREPLY < <(compgen -W "xattr samba netatalk appledouble auto" -- "$cur")
        return
        ;;
    --keep | --debounce | --full-every | --keep-snapshots | --depth | --exclude) return ;;
    esac

    local commands="inspect preview apply verify restore snapshots prune watch agent layout dsstore help"
    local words="" files="" snapshots=""
    case $command in
    "") words="$commands --home --layout --metadata --samba-config --help --version" ;;
    help) words="$commands --help" ;;
    "help agent") words="install uninstall status" ;;
    "help dsstore") words="dump write" ;;
    "help layout") words="show check" ;;
    "help snapshots") words="prune" ;;
    "help watch") words="resume" ;;
    help\ *) return ;;
    inspect | verify) words="--folder --recursive --depth --exclude --folders-only --all --json --help" ;;
    preview) words="--folder --recursive --depth --exclude --folders-only --json --all --help" ;;
    apply) words="--folder --recursive --depth --exclude --folders-only --all --json --no-relaunch --help" ;;
    restore) words="--folder --force --json --help" snapshots=yes ;;
    snapshots) words="prune --json --help" snapshots=yes ;;
    restore\ *) words="--folder --force --json --help" ;;
    snapshots\ [^p]*) words="--json --help" ;;
    prune | "snapshots prune") words="--keep --help" ;;
    watch) words="resume --folder --recursive --depth --exclude --folders-only --debounce --full-every --daemon --no-relaunch --keep-snapshots --help" ;;
    "watch resume") words="--help" ;;
    agent) words="install uninstall status --help" ;;
    "agent install") words="--folder --recursive --depth --exclude --folders-only --debounce --full-every --help" ;;
    "agent uninstall") words="--help" ;;
    "agent status") words="--json --help" ;;
    layout) words="show check --help" ;;
    "layout show") words="--folder --help" ;;
    "layout check") words="--help" files=yes ;;
    dsstore) words="dump write --help" ;;
    "dsstore dump") words="--decode --help" files=yes ;;
    "dsstore write") words="--help" files=yes ;;
    *) return ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    elif [[ -n $files ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    else
        if [[ -n $snapshots ]]; then
            # The identifiers the program lists, for the home given on this line.
            words+=" $("${COMP_WORDS[0]}" "${home[@]}" snapshots --json 2>/dev/null |
                sed -n 's/^ *"id": "\([^"]*\)",\{0,1\}$/\1/p')"
        fi
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    fi
}
complete -F _lumifold lumifold
