# Shell functions of the sample suite. The engine hands every property over as a variable named
# LI_ + property name and takes back the ones a function changed.

# The components of the chosen setup type: their keys (SUITE_COMPONENTS, for the record) and their
# names in the language of the run (SUITE_COMPONENT_NAMES, for the summary screen). A custom setup
# takes the items checked in the components screen, whose labels the engine keeps in components_cb.
describe_choices() {
    local numbers keys="" names="" n key name
    case "$LI_SUITE_TYPE" in
        minimal) numbers="1" ;;
        custom) numbers=$(printf '%s' "$LI_components_cb" | tr ';' '\n' | sort -n -u) ;;
        *) numbers="1 2 3" ;;
    esac
    for n in $numbers; do
        case "$n" in
            1) key=core ;;
            2) key=docs ;;
            3) key=examples ;;
            4) key=devtools ;;
            *) continue ;;
        esac
        eval "name=\${LI_SUITE_COMPONENT_$n}"  # n is one of the digits above
        keys="${keys:+$keys }$key"
        names="${names:+$names, }$name"
    done
    LI_SUITE_COMPONENTS=$keys
    LI_SUITE_COMPONENT_NAMES=${names:-$LI_SUITE_NO_COMPONENTS}
}

# Writes the choices to the file SUITE_REPORT names (the temporary folder's suite-choices.txt when
# it is not set) and tells the sequence in SUITE_RECORDED whether that worked. Nothing is installed.
write_choices() {
    LI_SUITE_REPORT="${LI_SUITE_REPORT:-$LI_TEMP_FOLDER/suite-choices.txt}"
    if mkdir -p "$(dirname "$LI_SUITE_REPORT")" 2>/dev/null && {
        printf 'install_type=%s\n' "$LI_SUITE_TYPE"
        printf 'components=%s\n' "$LI_SUITE_COMPONENTS"
        printf 'directory=%s\n' "$LI_SUITE_DIR"
        printf 'language=%s\n' "$LI_SUITE_LANGUAGE"
    } > "$LI_SUITE_REPORT" 2>/dev/null; then
        LI_SUITE_RECORDED=yes
    else
        LI_SUITE_RECORDED=no
    fi
}
