# bash completion for keldrin-pbl: commands, their options, library and report files,
# and the entry names of the library already on the command line.

_keldrin_pbl_entries() {
    # The library is the first argument after the command; its names, one a line.
    local lib=$1
    [[ -f $lib ]] || return
    keldrin-pbl --wait 0 ls "$lib" 2>/dev/null | cut -f1
}

_keldrin_pbl() {
    local cur prev words cword
    _init_completion || return

    local commands="create info ls cat put rm comment export import status rebuild optimize
        check salvage diff grep objects tree refs site libdata report add-report preview help"
    local i command="" first=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --wait | --codepage) ((i++)) ;;
            -*) ;;
            *)
                command=${words[i]}
                first=$((i + 1))
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        case $prev in
            --wait | --codepage) return ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$commands --wait --codepage --help --version" -- "$cur")
        return
    fi

    local options=""
    case $command in
        info | check | salvage) options="--json" ;;
        ls) options="--json --sort" ;;
        cat) options="--comment --text" ;;
        put) options="--comment --time" ;;
        export) options="--encoding --all --raw --quiet --sync --layout" ;;
        import) options="--replace --layout" ;;
        status | objects | tree | refs) options="--json" ;;
        rebuild) options="--version" ;;
        optimize) options="--version --force" ;;
        diff) options="--json --text --all --ignore-eol" ;;
        grep) options="-c -i -l -n -v -w -F --entry --unicode" ;;
        libdata) options="--set" ;;
        report) options="--json --data --format --dw --html" ;;
        add-report) options="--replace" ;;
        preview) options="--html --all" ;;
        help)
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
            return
            ;;
    esac
    case $prev in
        --sort)
            mapfile -t COMPREPLY < <(compgen -W "name size time" -- "$cur")
            return
            ;;
        --encoding)
            mapfile -t COMPREPLY < <(compgen -W "ansi hexascii utf8 utf16le" -- "$cur")
            return
            ;;
        --comment | --time | --version | --entry) return ;;
        --set | --html)
            _filedir
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi

    # The position among the arguments that are not options.
    local n=0 lib=""
    for ((i = first; i < cword; i++)); do
        case ${words[i]} in
            --sort | --set | --comment | --time | --version | --encoding | --entry | --html) ((i++)) ;;
            -*) ;;
            *)
                [[ $n -eq 0 ]] && lib=${words[i]}
                ((n++))
                ;;
        esac
    done
    case $command in
        report) _filedir '@(psr|PSR)' ;;
        add-report)
            if ((n == 0)); then _filedir '@(pbl|PBL)'; else _filedir '@(psr|PSR)'; fi
            ;;
        preview)
            if [[ $prev == --all ]]; then
                _filedir -d
            elif ((n == 0)); then
                _filedir '@(pbl|PBL|pbd|PBD|exe|EXE)'
            elif ((n == 1)); then
                mapfile -t COMPREPLY < <(compgen -W "$(_keldrin_pbl_entries "$lib" | grep -i '\.srd$')" -- "$cur")
            fi
            ;;
        cat | rm | put)
            if ((n == 0)); then
                _filedir '@(pbl|PBL|pbd|PBD|exe|EXE)'
            elif ((n == 1)); then
                mapfile -t COMPREPLY < <(compgen -W "$(_keldrin_pbl_entries "$lib")" -- "$cur")
            else
                _filedir
            fi
            ;;
        grep)
            ((n > 0)) && _filedir '@(pbl|PBL|pbd|PBD|exe|EXE)'
            ;;
        export | import | rebuild | salvage)
            if ((n == 0)); then _filedir '@(pbl|PBL|pbd|PBD|exe|EXE)'; else _filedir; fi
            ;;
        *) _filedir '@(pbl|PBL|pbd|PBD|exe|EXE)' ;;
    esac
} && complete -F _keldrin_pbl keldrin-pbl

_keldrin() {
    local cur prev words cword
    _init_completion || return
    if [[ $prev == -p ]]; then
        _filedir '@(pbl|PBL)'
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-p" -- "$cur")
    else
        _filedir '@(psr|PSR)'
    fi
} && complete -F _keldrin keldrin
