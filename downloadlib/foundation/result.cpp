#include "foundation/result.h"

const char* vmResultName(vmResult r) {
    switch (r) {
        case VM_OK:
            return "VM_OK";
        case VM_E_NOINTERFACE:
            return "VM_E_NOINTERFACE";
        case CP_OK:
            return "CP_OK";
        case CP_FAIL:
            return "CP_FAIL";
        case CP_E_NORECORD:
            return "CP_E_NORECORD";
        case CP_E_NOTSOCK:
            return "CP_E_NOTSOCK";
        case CP_E_CONNREFUSED:
            return "CP_E_CONNREFUSED";
        case CP_E_ALREADY:
            return "CP_E_ALREADY";
        case CP_E_EXISTS:
            return "CP_E_EXISTS";
        case CP_E_NOBUFS:
            return "CP_E_NOBUFS";
        case CP_E_INPROGRESS:
            return "CP_E_INPROGRESS";
        case CP_E_WOULDBLOCK:
            return "CP_E_WOULDBLOCK";
        case NW_OK:
            return "NW_OK";
        case NW_FAIL:
            return "NW_FAIL";
        default:
            return "UNKNOWN";
    }
}
