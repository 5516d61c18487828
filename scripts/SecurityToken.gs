// Rights to assets granted by a script object; made, merged and checked by
// the natives of RovanaGameObject.
include "gs.gs"

final class SecurityToken isclass GSObject {
  // Whether an asset the token names is locally modified.
  public native bool IsOwnerLocallyModified(void);
};
