// New native objects for scripts: Constructors.NewSoup() and so on.
include "Soup.gs"
include "KUIDList.gs"

class ConstructorsBase {
  public native Soup NewSoup(void);
  public native KUIDList NewKUIDList(void);
};

static class Constructors isclass ConstructorsBase {
};
