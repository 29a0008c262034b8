# bash completion for korvanectl. Source it, or install it as
# /usr/share/bash-completion/completions/korvanectl. Method names come from korvanectl itself.

_korvanectl_methods() {
  "${COMP_WORDS[0]}" help --methods 2>/dev/null
}

_korvanectl() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "call events hello help --help" -- "$cur")
    return
  fi
  case ${COMP_WORDS[1]} in
    call)
      case $prev in
        --channel)
          mapfile -t COMPREPLY < <(compgen -W "vpn core" -- "$cur")
          return ;;
        --until)
          local statuses="vpn_connecting vpn_connected vpn_disconnecting vpn_disconnected vpn_error"
          mapfile -t COMPREPLY < <(compgen -W "$statuses" -- "${cur##*,}")
          if [[ $cur == *,* ]]; then
            COMPREPLY=("${COMPREPLY[@]/#/${cur%,*},}")
          fi
          return ;;
        --timeout)
          return ;;
      esac
      if [[ $cur == *@* ]]; then
        # A file for ARGS, --string or a --field value ("=" may split the word before it).
        local before=${cur%%@*}@
        mapfile -t COMPREPLY < <(compgen -f -- "${cur#*@}")
        COMPREPLY=("${COMPREPLY[@]/#/$before}")
      elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--field --string --channel --timeout --events
          --until --unlisted" -- "$cur")
      elif ((COMP_CWORD == 2)); then
        mapfile -t COMPREPLY < <(compgen -W "$(_korvanectl_methods)" -- "$cur")
      fi
      ;;
    help)
      if ((COMP_CWORD == 2)); then
        mapfile -t COMPREPLY < <(compgen -W "$(_korvanectl_methods) --markdown --methods" -- "$cur")
      fi
      ;;
    events)
      mapfile -t COMPREPLY < <(compgen -W "--json" -- "$cur")
      ;;
  esac
}

complete -o default -F _korvanectl korvanectl
