# bash completion for glimpack: commands, each command's options, and files.
# The option lists are checked against every command's --help by the tests.

_glimpack() {
    local cur prev command
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    command="${COMP_WORDS[1]}"

    local commands="pack list test scan extract compress decompress fix-stub help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    local options
    case "$command" in
        pack) options="-o --output --title --scr --dat --first-number --stub --store --best --overwrite --max-size -q --quiet" ;;
        list) options="--json --max-size -q --quiet" ;;
        test) options="-q --quiet --json --max-size" ;;
        scan) options="--json -q --quiet --depth --files-from --extract --salvage --max-size" ;;
        extract) options="-d --directory -I --include -p --stdout --overwrite -n --keep --dry-run --salvage -v --verbose -q --quiet --max-size" ;;
        compress) options="--best --greedy --overwrite -q --quiet" ;;
        decompress) options="--size --overwrite -q --quiet" ;;
        fix-stub) options="--overwrite -q --quiet" ;;
        help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
        *) return ;;
    esac
    options="$options -h --help --version"

    case "$prev" in
        -d|--directory|--extract)
            COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --title|--first-number|--max-size|--size|-I|--include|--depth)
            return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _glimpack glimpack
