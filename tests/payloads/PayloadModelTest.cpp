// Behaviour of the payload classes that callers build decisions on.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>
#include <boost/shared_ptr.hpp>

#include "payloads/Payloads.h"

namespace {

TEST(KSFileEquality, DefaultMeansNoFileChosenAndAnyContentMakesItDifferent) {
    const KSFile none;
    EXPECT_TRUE(KSFile() == none);
    EXPECT_FALSE(KSFile() != none);

    KSFile withDigest;
    withDigest.setDigest("abc");
    EXPECT_FALSE(withDigest == none);
    EXPECT_TRUE(withDigest != none);

    KSFile withMirror;
    withMirror.setMirrors({KSMirror()});  // even an all-empty mirror counts
    EXPECT_FALSE(withMirror == none);

    KSFile withArguments;
    withArguments.setArguments("/S");
    EXPECT_FALSE(withArguments == none);
}

TEST(KSFileEquality, ComparesMirrorsByContentAndOrder) {
    KSFile a;
    a.setMirrors({KSMirror("u1", "e1"), KSMirror("u2", "e2")});
    KSFile b = a;
    EXPECT_TRUE(a == b);

    b.setMirrors({KSMirror("u2", "e2"), KSMirror("u1", "e1")});
    EXPECT_FALSE(a == b);
    b.setMirrors({KSMirror("u1", "e1"), KSMirror("u2", "other")});
    EXPECT_FALSE(a == b);
    b.setMirrors({KSMirror("u1", "e1")});
    EXPECT_FALSE(a == b);
}

TEST(KSConfigurationItem, VersionLabelAbsentDiffersFromSetToEmpty) {
    KSConfigurationItem item;
    EXPECT_EQ("", item.getVersionlabel());
    EXPECT_FALSE(item.hasVersionlabel());

    item.setVersionlabel("");
    EXPECT_EQ("", item.getVersionlabel());
    EXPECT_TRUE(item.hasVersionlabel());

    const KSConfigurationItem copy = item;  // presence travels with a copy
    EXPECT_TRUE(copy.hasVersionlabel());
}

TEST(KSManifest, WalkingItemsWithAndWithoutDeliverables) {
    KSFile installer;
    installer.setArguments("/S");
    installer.setDigest("d");
    installer.setMirrors({KSMirror("http://m1/setup.exe", ""), KSMirror("http://m2/setup.exe", "")});

    KSDeliverable empty;
    KSDeliverable withFile;
    withFile.setFiles({installer});

    KSConfigurationItem bare(UUId::generate(), 1);  // deliverables never set
    KSConfigurationItem full(UUId::generate(), 2);
    full.setDeliverables({empty, withFile});

    KSManifest manifest;
    manifest.setConfigurationItems({bare, full});

    // The walk that picks the first file of the first non-empty deliverable.
    const KSFile* chosen = nullptr;
    std::list<KSConfigurationItem> items = manifest.getConfigurationItems();
    for (const KSConfigurationItem& item : items) {
        for (const KSDeliverable& deliverable : item.getDeliverables()) {
            if (!deliverable.getFiles().empty() && chosen == nullptr) {
                chosen = &deliverable.getFiles().front();
            }
        }
    }
    ASSERT_NE(nullptr, chosen);
    EXPECT_TRUE(*chosen == installer);
    EXPECT_EQ("http://m1/setup.exe", chosen->getMirrors().front().getUrl());

    EXPECT_FALSE(bare.hasDeliverables());
    EXPECT_TRUE(bare.getDeliverables().empty());
    EXPECT_TRUE(KSConfigurationItem().getDeliverables().empty());
    // An explicitly empty list is present, unlike an absent one.
    KSConfigurationItem emptied;
    emptied.setDeliverables({});
    EXPECT_TRUE(emptied.hasDeliverables());
    EXPECT_TRUE(emptied.getDeliverables().empty());
}

TEST(PayloadTypeNames, EachClassTravelsUnderItsExactName) {
    const std::vector<std::pair<boost::shared_ptr<ISerializable>, std::string> > cases = {
        {boost::make_shared<KSManifest>(), "updateManifest"},
        {boost::make_shared<KSConfigurationItem>(), "configurationItem"},
        {boost::make_shared<KSFile>(), "file"},
        {boost::make_shared<KSRequest>(), "updateRequest"},
        {boost::make_shared<StartRequestPayload>(), "StartRequest"},
        {boost::make_shared<StatusReportPayload>(), "StatusReport"},
        {boost::make_shared<StatusResultTypePayload>(), "StatusResultType"},
        {boost::make_shared<ProcessStartInfo>(), "ProcessStartInfo"},
        {boost::make_shared<ServiceOfferingEntity>(), "ServiceOffering"},
        {boost::make_shared<ErrorTypePayload>(), "ErrorType"},
        {boost::make_shared<ProgressReportPayload>(), "ProgressReport"},
        {boost::make_shared<KeyValuePayload>(), "KeyValue"},
        {boost::make_shared<CIDownloadStatus>(), "CIDownloadStatus"},
        {boost::make_shared<ProvisioningRequest>(), "provisioningRequest"},
        {boost::make_shared<ProvisioningManifest>(), "provisioningManifest"},
        {boost::make_shared<CrashEventPayload>(), "CrashEvent"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, c.first->getSerializableType());
    }
}

TEST(NamedKeyValuePayload, ReportsWhateverNameItWasGiven) {
    for (const std::string name : {"UpdateProgress", "", "KeyValue", "name with spaces \xC3\xA4"}) {
        const boost::shared_ptr<ISerializable> payload =
            boost::make_shared<NamedKeyValuePayload>(name, NamedKeyValuePayload::Dictionary{{"k", "v"}});
        EXPECT_EQ(name, payload->getSerializableType());
        // Its own class, so receivers of "KeyValue" payloads do not mistake it for one.
        EXPECT_FALSE(boost::dynamic_pointer_cast<KeyValuePayload>(payload));
        EXPECT_EQ("v", boost::dynamic_pointer_cast<NamedKeyValuePayload>(payload)->getDictionary().at("k"));
    }
}

TEST(PayloadDefaults, RepliesAndLaunchesStartFromTheDocumentedDefaults) {
    const StatusResultTypePayload reply;
    EXPECT_EQ(0, reply.getResult());
    EXPECT_FALSE(reply.getOptionalText());
    EXPECT_FALSE(reply.getDetail());
    EXPECT_FALSE(reply.getAttributes());
    EXPECT_EQ("", reply.getText());

    EXPECT_TRUE(ProcessStartInfo().getWaitProcessFinish());
    EXPECT_TRUE(ProcessStartInfo("setup.exe", "/S").getWaitProcessFinish());
    EXPECT_FALSE(ProcessStartInfo("setup.exe", "/S", false).getWaitProcessFinish());
}

}  // namespace
