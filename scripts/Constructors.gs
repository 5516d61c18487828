// New native objects for scripts: Constructors.NewSoup() and so on.
include "Soup.gs"
include "KUIDList.gs"
include "Image.gs"

class ConstructorsBase {
  public native Soup NewSoup(void);
  public native KUIDList NewKUIDList(void);
  public native Image NewImage(void);
};

static class Constructors isclass ConstructorsBase {
};
