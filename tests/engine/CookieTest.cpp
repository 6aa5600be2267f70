#include <gtest/gtest.h>

#include "pithorama/engine/HUtils.h"
#include "pithorama/platform/Errors.h"

using namespace pithorama;

TEST(Cookie, RenamingRule) {
  TComponent owner(nullptr);
  auto* cookie = new THttpCookie(&owner);
  cookie->SetName("Cookie1");
  EXPECT_EQ(cookie->CookieName, "Cookie1");  // a first name: empty equals empty

  cookie->CookieName = "cOOKIE1";
  cookie->SetName("Cookie2");
  EXPECT_EQ(cookie->CookieName, "Cookie2");  // never changed but for letter case: follows

  cookie->CookieName = "session";
  cookie->SetName("Cookie3");
  EXPECT_EQ(cookie->CookieName, "session");  // set to another text: kept

  auto* designed = new THttpCookie(&owner);
  designed->SetName("A");
  designed->CookieName = "other";
  designed->SetName("B");
  EXPECT_EQ(designed->CookieName, "other");
  designed->SetDesigning(true);
  designed->CookieName = "";
  designed->SetName("C");
  EXPECT_EQ(designed->CookieName, "C");  // design mode and empty: takes the name

  EXPECT_THROW(designed->SetName("Cookie3"), EComponentError);  // duplicate
  EXPECT_THROW(designed->SetName("9lives"), EComponentError);   // not an identifier
  EXPECT_EQ(designed->Name(), "C");
  EXPECT_EQ(designed->CookieName, "C");
}

TEST(Component, OwnedComponentsFreedLastFirst) {
  static std::vector<int> order;
  struct Tracked : TComponent {
    Tracked(TComponent* owner, int id) : TComponent(owner), id(id) {}
    ~Tracked() override { order.push_back(id); }
    int id;
  };
  order.clear();
  {
    TComponent owner(nullptr);
    new Tracked(&owner, 1);
    auto* second = new Tracked(&owner, 2);
    new Tracked(&owner, 3);
    delete second;  // leaves its owner's list
    EXPECT_EQ(owner.Components().size(), 2u);
  }
  EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
}
