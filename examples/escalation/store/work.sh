# Runs in the instance with root rights: the properties of the first instance arrive as LI_ variables.
work() {
    echo "running as $(id -un), installing into $LI_INSTALL_DIR"
    mkdir -p "$LI_INSTALL_DIR" && date > "$LI_INSTALL_DIR/installed-by-escalation-sample.txt"
}
