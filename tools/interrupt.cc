#include "interrupt.h"

#include <csignal>

namespace cli {
namespace {

volatile sig_atomic_t s_interrupted = 0;

void on_interrupt(int) {
  s_interrupted = 1;
}

}  // namespace

void interrupt_install() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

bool interrupted() {
  return s_interrupted != 0;
}

void interrupt_clear() {
  s_interrupted = 0;
}

}  // namespace cli
