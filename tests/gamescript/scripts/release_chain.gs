// gsrun --game Builder
// A million objects linked through a member, and a million linked through an
// element of an array member, are each let go at once by dropping the head.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Node {
  public Node next;
};

class Link {
  public Link[] next;
};

class Builder isclass GameObject {
  // Built in slices: one run of a thread may only do so much.
  Node Nodes(int count) {
    Node head = null;
    int i, j;
    for (i = 0; i < count; i = i + 100000) {
      for (j = 0; j < 100000; j++) {
        Node n = new Node();
        n.next = head;
        head = n;
      }
      Sleep(0.1);
    }
    return head;
  }
  Link Links(int count) {
    Link head = null;
    int i, j;
    for (i = 0; i < count; i = i + 100000) {
      for (j = 0; j < 100000; j++) {
        Link n = new Link();
        n.next = new Link[1];
        n.next[0] = head;
        head = n;
      }
      Sleep(0.1);
    }
    return head;
  }
  thread void Init(void) {
    Node nodes = Nodes(1000000);
    if (nodes.next.next) Test.Print("member chain built");
    nodes = null;
    Test.Print("member chain released");
    Link links = Links(1000000);
    links = null;
    Test.Print("array member chain released");
  }
};
