// Process-wide state shared between the interrupt handler and the code it interrupts: the child a
// command runner waits for, whether a dialog waits for input, and whether the input has ended.
// Every area reads and writes these here; nothing else holds process-wide flags.
#pragma once

#include <csignal>
#include <sys/types.h>

struct session_t;

// The child the shell-execution layer waits for (0 when none): killed when the user interrupts.
extern volatile pid_t g_child;
// Non-zero while a dialog waits for input; a declined interrupt then asks the dialog to redraw.
extern volatile sig_atomic_t g_is_dialog;
// Set by the interrupt handler when the user declined while a dialog waited; the dialog clears it.
extern volatile sig_atomic_t g_dialog_interrupted;
// Set once standard input has ended while a dialog waited for an answer: nobody is left to answer,
// so the run is cancelled (HANDLE is "", LUMO_EXIT_CODE "4"). The sequence loop stops on it.
extern int g_input_ended;
// The session of the running download, for its progress callback.
extern session_t* g_session;

// Ignores SIGINT while it lives and puts the previous disposition back when it goes: a shell
// plug-in or an install step must neither stop half-way nor have the user asked while it writes
// to the console.
class interrupt_ignored {
public:
    interrupt_ignored();
    ~interrupt_ignored();
    interrupt_ignored(const interrupt_ignored&) = delete;
    interrupt_ignored& operator=(const interrupt_ignored&) = delete;

private:
    struct sigaction m_previous;
};

// The engine's own SIGINT handler, once start-up has installed it (null before). The install and
// removal loops put it back when they end, since the step that fixed the selection had the
// interrupt ignored: from the result screen on, the user may stop the run again.
void interrupt_set_handler(void (*handler)(int));
// Installs the registered handler with every other signal blocked while it runs; nothing when
// none is registered.
void interrupt_restore_handler();
