// Defines LIBID_kvParcelin, IID_Iprocess and CLSID_process once.
#include <initguid.h>

#include "kvParcelin_TLB.h"
