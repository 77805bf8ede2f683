#include "support/registration.h"

#include "engine/local_client_layer.h"
#include "foundation/network_runtime.h"
#include "http/http_client_layer.h"
#include "stack/stack_classes.h"

void RegisterClassesForTests() {
    vmRegisterFoundationClasses();
    vmRegisterStackClasses();
    vmRegisterHttpClasses();
    vmRegisterEngineClasses();
}
