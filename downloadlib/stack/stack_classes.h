// Class ids of the protocol stack.
#pragma once

// Registers the connection context (0x100A, as vmIQoSContext), the agent layer (0x2003, as
// vmIAgentLayer), the stream dispatcher (0x2006), the TLS layer (0x2017) with the process TLS
// start-up, and everything of the foundation.
void vmRegisterStackClasses();
