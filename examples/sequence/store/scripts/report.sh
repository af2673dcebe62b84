# Writes what the run has collected so far; REPORT_FILE names the file (the temporary folder's
# sequence-report.txt by default).
write_report() {
    LI_REPORT_FILE="${LI_REPORT_FILE:-$LI_TEMP_FOLDER/sequence-report.txt}"
    {
        echo "welcome=$LI_WELCOME_SEEN"
        echo "details=$LI_DETAILS_SEEN"
        echo "wait=$LI_WAIT_EXIT"
        echo "greeting=$LI_HELLO_RESULT"
        echo "step=$LI_CURRENT_STEP/$LI_TOTAL_STEPS"
    } > "$LI_REPORT_FILE"
    LI_REPORT_WRITTEN=yes
}
