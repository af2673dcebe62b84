# Shell functions of the sample suite. The engine hands every property over as a variable named
# LI_ + property name and takes back the ones a function changed.

# After an uninstall that removed every component: the settings the installation left for later
# runs (uninstall.ini, the package marker) and the folders that are empty now. Folders that
# still hold something (files the user made) stay. Nothing happens after a partial uninstall or
# a failure: the records are still needed to finish the job later.
remove_leftovers() {
    local dir="$LI_LUMO_INSTALL_DIR"
    [ "$LI_FULL_UNINSTALL" = yes ] && [ "${LI_LUMO_EXIT_CODE:-0}" = 0 ] && [ -n "$dir" ] || return 0
    rm -f -- "$dir/uninstall/uninstall.ini" "$dir/uninstall/markers/$LI_SUITE_GUID"
    [ -d "$dir" ] && find "$dir" -depth -type d -empty -delete 2>/dev/null
    return 0
}

# Whether this user can write the folder, or the nearest folder above it that exists when it is
# not made yet.
can_write() {
    local dir="$1"
    while [ -n "$dir" ] && [ ! -e "$dir" ] && [ "$dir" != / ]; do dir=$(dirname -- "$dir"); done
    [ -d "$dir" ] && [ -w "$dir" ] && [ -x "$dir" ]
}

# Whether this user needs root rights to install into the chosen folder. SUITE_NEEDS_ROOT becomes
# "yes" or "no".
needs_root() {
    if can_write "$LI_LUMO_INSTALL_DIR"; then LI_SUITE_NEEDS_ROOT=no; else LI_SUITE_NEEDS_ROOT=yes; fi
    return 0
}

# Whether removing the earlier release needs root rights: one of its folders (COEX_REMOVE_DIRS,
# each led by ";") is not writable. SUITE_COEX_NEEDS_ROOT becomes "yes" or "no".
coex_needs_root() {
    local dir rest="$LI_COEX_REMOVE_DIRS"
    LI_SUITE_COEX_NEEDS_ROOT=no
    while [ -n "$rest" ]; do
        dir=${rest%%;*}
        [ "$dir" = "$rest" ] && rest= || rest=${rest#*;}
        [ -z "$dir" ] || can_write "$dir" || LI_SUITE_COEX_NEEDS_ROOT=yes
    done
    return 0
}
