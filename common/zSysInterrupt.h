#pragma once
// Hands an interrupt that CZMQ caught back to the process's own handling. The ZeroMQ worker
// loops call this when they wake: when CZMQ's interrupted flag is set, CZMQ's signal
// handler is removed and the interrupt signal is raised again, once per process.
void zSysInterruptHandler_process(void);
