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

namespace {
void (*g_handler)(int) = nullptr;
}

void interrupt_set_handler(void (*handler)(int)) { g_handler = handler; }

void interrupt_restore_handler() {
    if (!g_handler) return;
    struct sigaction action = {};
    action.sa_handler = g_handler;
    sigfillset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}
