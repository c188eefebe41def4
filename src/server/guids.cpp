// Defines LIBID_kvParcelin, IID_Iprocess, IID_Iprocess2 and CLSID_process once.
#include <initguid.h>

#include "kvParcelin_TLB.h"
