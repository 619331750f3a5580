// Behaviour of the payload classes that callers build decisions on.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>
#include <boost/shared_ptr.hpp>

#include "payloads/Payloads.h"

namespace {

TEST(KSFileEquality, EveryFieldAndTheMirrorOrderCount) {
    KSFile base;
    base.setArguments("/S");
    base.setDigest("d");
    base.setMirrors({KSMirror("u1", "e1"), KSMirror("u2", "e2")});
    std::vector<KSFile> variants(6, base);
    variants[0].setArguments("/Q");
    variants[1].setDigest("D");
    variants[2].setMirrors({KSMirror("u2", "e2"), KSMirror("u1", "e1")});
    variants[3].setMirrors({KSMirror("u1", "e1"), KSMirror("u2", "other")});
    variants[4].setMirrors({KSMirror("u1", "e1")});
    variants[5] = KSFile();
    for (const KSFile& variant : variants) {
        EXPECT_FALSE(variant == base);
        EXPECT_TRUE(variant != base);
    }
    EXPECT_TRUE(KSFile(base) == base);
    EXPECT_FALSE(KSFile() != KSFile()) << "the default means no file chosen";
    KSFile withEmptyMirror;
    withEmptyMirror.setMirrors({KSMirror()});
    EXPECT_FALSE(withEmptyMirror == KSFile()) << "even an all-empty mirror counts";
}

TEST(KSConfigurationItem, AbsentOptionalFieldsDifferFromEmptyOnes) {
    KSConfigurationItem item;
    EXPECT_FALSE(item.hasVersionlabel());
    EXPECT_FALSE(item.hasDeliverables());
    EXPECT_EQ("", item.getVersionlabel());
    EXPECT_TRUE(item.getDeliverables().empty());

    item.setVersionlabel("");
    item.setDeliverables({});
    const KSConfigurationItem copy = item;  // presence travels with a copy
    EXPECT_TRUE(copy.hasVersionlabel());
    EXPECT_TRUE(copy.hasDeliverables());
    EXPECT_EQ("", copy.getVersionlabel());
    EXPECT_TRUE(copy.getDeliverables().empty());
}

TEST(NamedKeyValuePayload, ReportsWhateverNameItWasGiven) {
    // A named key/value payload reports whatever name it was given, and is its own
    // class, so receivers of "KeyValue" payloads do not mistake it for one.
    for (const std::string name : {"UpdateProgress", "", "KeyValue", "name with spaces \xC3\xA4"}) {
        const boost::shared_ptr<ISerializable> payload =
            boost::make_shared<NamedKeyValuePayload>(name, NamedKeyValuePayload::Dictionary{{"k", "v"}});
        EXPECT_EQ(name, payload->getSerializableType());
        EXPECT_FALSE(boost::dynamic_pointer_cast<KeyValuePayload>(payload));
        EXPECT_EQ("v", boost::dynamic_pointer_cast<NamedKeyValuePayload>(payload)->getDictionary().at("k"));
    }
}

}  // namespace
