// Expressions of every operand type, conversions and operators.
class Item {
  public int weight = 2;
  public string label;
  public float Ratio(int a, int b) { return (float)a / (float)b; }
};

class Expressions {
  public Item[] items;
  public int[] counts;
  public float[] scale;
  public string[] names;
  public bool flag = true;

  public string Describe(Item item, int n, float f) {
    string s = "n=" + n + " f=" + f + " flag=" + flag;
    s = s + item.label + (string)(n * 2);
    if (s.size() > 10 and s[0] == 'n') s[1] = '#';
    s = s[2, 6] + s[, 1] + s[3, ];
    return s;
  }

  public int Arithmetic(int a, int b) {
    int r = a * b + a / (b + 1) - a % 3;
    r = r << 2 | r >> 1 & 255 ^ ~a;
    r = -r;
    float f = r + 0.5;
    f = f * 2 - a;
    f = -f;
    r = (int)f + (int)(f / 3.0);
    bool c = a < b or a <= b and a > b or a >= b or a == b or a != b;
    c = !c and !(f > 1.0) or !(items == null) or !items;
    c = f == a or f != 2.5;
    return r;
  }

  public void Arrays(int n) {
    counts = new int[n];
    counts[0] = 5;
    counts[n - 1] = counts[0] + 1;
    counts[1]++;
    --counts[2];
    int total = counts[0]++ + ++counts[1];
    items = new Item[n];
    items[0] = new Item();
    items[0].weight = items[0].weight * 2;
    items[0].weight++;
    scale = new float[3];
    scale[0] = 1;
    scale[1] = scale[0] * 2.5;
    names = new string[2];
    names[0] = "a";
    names[1] = names[0];
    names.copy(names);
    counts[1, 2] = counts;
    counts = counts[0, 1];
    items = items[, 1];
    int sum = counts.size() + items.size() + names[0].size() + total;
    if (sum > 0) items[0].label = "big";
  }

  public bool Objects(object o, Item i) {
    Item cast1 = cast<Item>o;
    bool same = cast1 == i;
    same = same or o.isclass(Item) and i != null;
    float r = i.Ratio(3, 4);
    return same and r > 0.5;
  }
};
