// The road from the upload object to the ASP intrinsic objects of the current
// request: the object context, then its Request and Response properties.
#pragma once

#include "../server/autoobject.h"
#include "../server/oleptr.h"
#include "aspsdk.h"

namespace kvp {

// Which function hands out the object context in this process. Chosen once,
// on first use (a concurrent first use waits): CoGetObjectContext of an
// already loaded ole32.dll on Windows NT 5 or later, GetObjectContext of an
// already loaded mtxex.dll before that. Neither module is ever loaded here.
enum class ContextRoute { None, Ole32, Mtxex };
ContextRoute ObjectContextRoute();

// The context of the current call, or empty when there is none. Raises when
// the old route's GetObjectContext fails.
ComPtr<IUnknown> CurrentObjectContext();

// Base of automation objects that reach the ASP intrinsics through the
// object context. Each call fetches the object afresh.
class TASPMTSObject : public TAutoObject {
 public:
  using TAutoObject::TAutoObject;

 protected:
  ComPtr<IRequest> Request() const;
  ComPtr<IResponse> Response() const;
};

}  // namespace kvp
