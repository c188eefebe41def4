// The one place that defines the identifiers of the ASP and object-context
// interfaces. IObjectContext and IGetContextProperties are in no import
// library, so they are spelled out here.
#include <initguid.h>

#include "aspsdk.h"

DEFINE_GUID(IID_IObjectContext, 0x51372AE0, 0xCAE7, 0x11CF, 0xBE, 0x81, 0x00, 0xAA, 0x00, 0xA2,
            0xFA, 0x25);
DEFINE_GUID(IID_IGetContextProperties, 0x51372AF4, 0xCAE7, 0x11CF, 0xBE, 0x81, 0x00, 0xAA, 0x00,
            0xA2, 0xFA, 0x25);
