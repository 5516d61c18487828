// The library whose OnlineAccess object the online scenarios use.
include "Rovana.gs"

class OnlineProbe isclass Library {
};
