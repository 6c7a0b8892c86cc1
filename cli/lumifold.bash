# bash completion for lumifold: its commands, their options, and folders or files where an
# option or argument names one. tests/cli/CommandLineTest.cpp checks it against every --help.
_lumifold() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    # The commands typed so far: the words before the cursor that are not options or values.
    local command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --home | --folder | --keep | --debounce | --keep-snapshots | --depth | --exclude) ((i++)) ;;
        -*) ;;
        *) command="${command:+$command }${COMP_WORDS[i]}" ;;
        esac
    done
    case $prev in
    --home | --folder)
        COMPREPLY=($(compgen -d -- "$cur"))
        return
        ;;
    --keep | --debounce | --keep-snapshots | --depth | --exclude) return ;;
    esac

    local words files=""
    case $command in
    "") words="inspect preview apply verify restore snapshots prune watch agent dsstore --home --help --version" ;;
    inspect | verify) words="--folder --recursive --depth --exclude --all --json --help" ;;
    preview) words="--folder --recursive --depth --exclude --json --all --help" ;;
    apply) words="--folder --recursive --depth --exclude --all --json --no-relaunch --help" ;;
    restore) words="--folder --force --json --help" ;;
    snapshots) words="prune --json --help" ;;
    prune | "snapshots prune") words="--keep --help" ;;
    watch) words="resume --folder --recursive --depth --exclude --debounce --daemon --no-relaunch --keep-snapshots --help" ;;
    "watch resume") words="--help" ;;
    agent) words="install uninstall status --help" ;;
    "agent install") words="--folder --recursive --depth --exclude --help" ;;
    "agent uninstall") words="--help" ;;
    "agent status") words="--json --help" ;;
    dsstore) words="dump write --help" ;;
    "dsstore dump") words="--decode --help" files=yes ;;
    "dsstore write") words="--help" files=yes ;;
    *) return ;;
    esac
    if [[ -n $files && $cur != -* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    fi
}
complete -F _lumifold lumifold
