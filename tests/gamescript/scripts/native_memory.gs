// gsrun --game -m8 Holder
// KUID lists and images count against the script memory limit (8 MiB here):
// an image too large for it is refused with a report and the image keeps
// what it had, lists that a sleeping thread makes across runs stop with a
// report once they would pass the limit, and so do the font names images keep.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Holder isclass GameObject {
  int added;
  Image image;

  thread void Big(void) {
    image.Clear(2000, 2000);
    Test.Print("a 16 MB image was made");
  }
  thread void Grown(void) {
    image.Resize(1500, 1500, true);
    Test.Print("the image grew to 9 MB");
  }
  thread void Fill(void) {
    KUIDList list = Constructors.NewKUIDList();
    Soup s = Constructors.NewSoup();
    int i;
    for (i = 0; i < 1000; i++) {
      s.SetNamedTag("k", "<kuid:" + i + ":1>");
      list.AddKUID(s.GetNamedTagAsKUID("k"));
    }
    KUIDList[] lists = new KUIDList[1000];
    while (added < 1000) {
      lists[added] = Constructors.NewKUIDList();
      lists[added].Copy(list);
      added++;
      if (added % 10 == 0) Sleep(0.01);
    }
  }
  thread void Faces(void) {
    string face = "x";
    while (face.size() < 1048576) face = face + face;
    Image[] images = new Image[64];
    int i;
    for (i = 0; i < 64; i++) {
      images[i] = Constructors.NewImage();
      images[i].SetTextFont(face + i, 12);
    }
    Test.Print("64 font names of 1 MiB held");
  }
  thread void Init(void) {
    image = Constructors.NewImage();
    Big();
    Sleep(0.5);
    image.Clear(500, 500);
    Grown();
    Sleep(0.5);
    Test.Print("the image is " + image.GetWidth() + " wide");
    image.Resize(600, 600, false);
    Test.Print("the image is " + image.GetWidth() + " wide");
    image = null;
    Fill();
    Sleep(5.0);
    if (added > 10 and added < 200) Test.Print("the lists stopped short of the limit");
    else Test.Print("made " + added + " lists");
    Faces();
    Sleep(0.5);
  }
};
