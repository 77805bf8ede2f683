#include "stack/stack_classes.h"

#include "foundation/network_runtime.h"
#include "stack/agent_layer.h"
#include "stack/qos_context_impl.h"
#include "stack/secure_socket_layer.h"
#include "stack/stream_dispatcher.h"

void vmRegisterStackClasses() {
    vmRegisterFoundationClasses();
    vmRegisterClass(CLSID_cpCQoSContext, &vmNewObject<cpCQoSContext, vmIQoSContext>);
    vmRegisterClass(CLSID_nwCAgentLayer, &vmNewObject<nwCAgentLayer, vmIAgentLayer>);
    vmRegisterClass(CLSID_nwCStreamDispatcher, &vmNewObject<nwCStreamDispatcher>);
    vmRegisterSecureSocketClasses();
}
