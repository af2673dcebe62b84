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

# Whether this user needs root rights to install: the folder, or the nearest folder above it that
# exists when it is not made yet, is not writable. SUITE_NEEDS_ROOT becomes "yes" or "no".
needs_root() {
    local dir="$LI_LUMO_INSTALL_DIR"
    while [ -n "$dir" ] && [ ! -e "$dir" ] && [ "$dir" != / ]; do dir=$(dirname -- "$dir"); done
    if [ -d "$dir" ] && [ -w "$dir" ] && [ -x "$dir" ]; then
        LI_SUITE_NEEDS_ROOT=no
    else
        LI_SUITE_NEEDS_ROOT=yes
    fi
    return 0
}
