// A game object whose script comes from an asset. Init is called with its
// own asset once the object is bound and started.
include "asset.gs"
include "SecurityToken.gs"

class RovanaGameObject isclass GameObject {
  public void Init(Asset self) { }

  // A token granting `rights` on `kuid`, issued by this object.
  public native SecurityToken IssueSecurityToken(KUID kuid, string[] rights);
  // A token derived from `token` (see the program's documentation of tokens).
  public native SecurityToken IssueSecurityToken(SecurityToken token, KUID kuid, string[] rights);
  public native SecurityToken MergeSecurityTokens(SecurityToken[] tokens);
  // Whether `token`, as issued by `issuer`, grants this object's asset `right`.
  public native bool Validate(SecurityToken token, RovanaGameObject issuer, string right);
  public native bool Validate(SecurityToken token, KUID issuer, string right);
};
