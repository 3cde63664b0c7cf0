// Ctrl-C while a command runs. The library cannot be stopped inside a call,
// so SIGINT only raises a flag; commands look at it between library calls
// and stop there, and the shell then returns to its prompt.
#pragma once

namespace cli {

// Installs the SIGINT handler. Interrupted system calls are restarted, so a
// library call that is writing its files is never cut short.
void interrupt_install();

// Whether Ctrl-C was pressed since the last interrupt_clear.
bool interrupted();

void interrupt_clear();

}  // namespace cli
