# Runs from the layer's own folder: notes each step it takes part in.
audit_step() {
    echo "tasks done, flavour $LI_FLAVOUR" >> "$LI_TEMP_FOLDER/audit/audit.txt"
}
