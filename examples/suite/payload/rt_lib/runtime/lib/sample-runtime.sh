# The runtime library, shared by every suite of the maker that installs it.
sample_runtime_hello() {
    echo "Sample Runtime $1 is installed in $here"
}
