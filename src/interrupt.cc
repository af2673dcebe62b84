#include "interrupt.h"

volatile pid_t g_child = 0;
volatile sig_atomic_t g_is_dialog = 0;
volatile sig_atomic_t g_dialog_interrupted = 0;
int g_input_ended = 0;
session_t* g_session = nullptr;

interrupt_ignored::interrupt_ignored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &m_previous);
}

interrupt_ignored::~interrupt_ignored() { sigaction(SIGINT, &m_previous, nullptr); }
