// The stored form of a KSFile, written and read through the host serializer.
#include <exception>
#include <memory>

#include "host/XMLTool.h"
#include "payloads/Manifest.h"

namespace {

const char* const kRootName = "ksFile";
const char* const kArguments = "arguments";
const char* const kDigest = "digest";
const char* const kMirrorEntry = "mirrors__mirror";
const char* const kEulaUrl = "eulaUrl";
const char* const kUrl = "url";

std::string entryField(const char* field) { return std::string(kMirrorEntry) + "\\" + field; }

}  // namespace

std::string storeKSFile(const KSFile& file) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName(kRootName);
    writer->writeField(kArguments, file.getArguments());
    writer->writeField(kDigest, file.getDigest());
    const std::list<KSMirror> mirrors = file.getMirrors();
    for (const KSMirror& mirror : mirrors) {
        writer->beginEntry(kMirrorEntry);
        writer->writeField(entryField(kEulaUrl), mirror.getEulaUrl());
        writer->writeField(entryField(kUrl), mirror.getUrl());
    }
    return writer->text();
}

bool loadKSFile(const std::string& text, KSFile& file) {
    try {
        std::unique_ptr<IXMLTool> reader = bootStrapCreate(text, std::string(kRootName));

        std::string arguments;
        std::string digest;
        if (!reader->readField(kArguments, arguments) || !reader->readField(kDigest, digest)) {
            return false;
        }

        std::list<KSMirror> mirrors;
        const std::size_t count = reader->countEntries(kMirrorEntry);
        for (std::size_t i = 0; i < count; ++i) {
            std::string eulaUrl;
            std::string url;
            // A mirror entry without both texts is not one we wrote.
            if (!reader->readEntryField(kMirrorEntry, i, kEulaUrl, eulaUrl) ||
                !reader->readEntryField(kMirrorEntry, i, kUrl, url)) {
                return false;
            }
            KSMirror mirror;
            mirror.setEulaUrl(eulaUrl);
            mirror.setUrl(url);
            mirrors.push_back(mirror);
        }

        // Built aside so that a failure above leaves the caller's file untouched.
        KSFile loaded;
        loaded.setArguments(arguments);
        loaded.setDigest(digest);
        loaded.setMirrors(mirrors);
        file = loaded;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
