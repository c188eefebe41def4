// Defines the identifiers of the type library (CLSID_process among them) once
// for kvhost, which reaches the component only through COM.
#include <initguid.h>

#include "server/kvParcelin_TLB.h"
