#include "UpdateFeed.h"

#include <algorithm>
#include <set>

#include <pugixml.hpp>

#include "CurlSupport.h"
#include "Sha256.h"
#include "bus/UUId.h"

namespace kestrup_services {

namespace {

std::string trim(const std::string& text) {
    const char* const blanks = " \t\r\n";
    const std::size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return std::string();
    const std::size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

bool parseVersion(const std::string& text, uint32_t& version) {
    uint64_t value = 0;
    if (text.size() > 10 || !parseWholeNumber(text, value) || value > 0xFFFFFFFFull) return false;
    version = static_cast<uint32_t>(value);
    return true;
}

std::size_t lineOf(const std::string& text, std::ptrdiff_t offset) {
    if (offset < 0) return 1;
    const std::size_t end = std::min(text.size(), static_cast<std::size_t>(offset));
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
}

// The URL of a mirror attribute, resolved against the feed; "" when it cannot be.
std::string absoluteUrl(const std::string& feedUrl, const std::string& reference) {
    if (reference.empty()) return std::string();
    if (!urlScheme(reference).empty()) return reference;
    return feedUrl.empty() ? std::string() : resolveUrl(feedUrl, reference);
}

bool parseRelease(const pugi::xml_node& node, const std::string& feedUrl, const std::string& where,
                  FeedRelease& release, std::string& error) {
    const std::string versionText = trim(node.attribute("version").value());
    if (!parseVersion(versionText, release.version)) {
        error = where + ": version '" + versionText + "' is not a whole number from 0 to 4294967295";
        return false;
    }
    const std::string at = where + " version " + versionText;
    release.label = node.attribute("label") ? std::string(node.attribute("label").value()) : versionText;
    release.arguments = trim(node.child_value("arguments"));
    release.digest = trim(node.child_value("digest"));
    if (!release.digest.empty() && !isSha256Hex(release.digest)) {
        error = at + ": the digest is not a SHA-256 digest (64 hexadecimal digits)";
        return false;
    }
    if (node.child("size")) {
        const std::string sizeText = trim(node.child_value("size"));
        if (!parseWholeNumber(sizeText, release.size)) {
            error = at + ": size '" + sizeText + "' is not a whole number of bytes";
            return false;
        }
        release.hasSize = true;
    }
    for (pugi::xml_node mirror = node.child("mirror"); mirror; mirror = mirror.next_sibling("mirror")) {
        const std::string url = trim(mirror.attribute("url").value());
        const std::string resolved = absoluteUrl(feedUrl, url);
        if (resolved.empty()) {
            error = at + ": mirror url '" + url + "' is empty or cannot be resolved";
            return false;
        }
        const std::string scheme = urlScheme(resolved);
        if (urlScheme(feedUrl) != "file" && scheme != "http" && scheme != "https") {
            // Whoever serves a remote feed must not make this machine copy and start
            // one of its own files.
            error = at + ": mirror url '" + url + "' is not an http or https URL, which a feed read from " +
                    urlScheme(feedUrl) + " must name";
            return false;
        }
        std::string eula = trim(mirror.attribute("eulaUrl").value());
        if (!eula.empty()) {
            const std::string resolvedEula = absoluteUrl(feedUrl, eula);
            if (resolvedEula.empty()) {
                error = at + ": eulaUrl '" + eula + "' cannot be resolved";
                return false;
            }
            eula = resolvedEula;
        }
        release.mirrors.push_back(KSMirror(resolved, eula));
    }
    if (release.mirrors.empty()) {
        error = at + ": a release needs at least one mirror";
        return false;
    }
    return true;
}

}  // namespace

bool parseUpdateFeed(const std::string& xml, const std::string& feedUrl, UpdateFeed& feed, std::string& error) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        error = std::string("not well-formed XML at line ") + std::to_string(lineOf(xml, parsed.offset)) + ": " +
                parsed.description();
        return false;
    }
    const pugi::xml_node root = document.document_element();
    if (std::string(root.name()) != "updateFeed") {
        error = "the root element is '" + std::string(root.name()) + "', not 'updateFeed'";
        return false;
    }
    UpdateFeed result;
    result.serial = trim(root.attribute("serial").value());
    result.issued = trim(root.attribute("issued").value());
    result.expires = trim(root.attribute("expires").value());
    std::size_t index = 0;
    for (pugi::xml_node application = root.child("application"); application;
         application = application.next_sibling("application")) {
        ++index;
        const std::string idText = trim(application.attribute("id").value());
        if (!UUId::checkValid(idText)) {
            error = "application " + std::to_string(index) + ": id '" + idText + "' is not a UUID";
            return false;
        }
        const std::string id = UUId(idText).getValue();
        const std::string where = "application " + id;
        if (result.applications.count(id)) {
            error = where + " is listed twice";
            return false;
        }
        std::vector<FeedRelease>& releases = result.applications[id];
        std::set<uint32_t> versions;
        for (pugi::xml_node node = application.child("release"); node; node = node.next_sibling("release")) {
            FeedRelease release;
            if (!parseRelease(node, feedUrl, where, release, error)) return false;
            if (!versions.insert(release.version).second) {
                error = where + ": version " + std::to_string(release.version) + " is listed twice";
                return false;
            }
            releases.push_back(release);
        }
        std::stable_sort(releases.begin(), releases.end(),
                         [](const FeedRelease& a, const FeedRelease& b) { return a.version > b.version; });
    }
    feed = result;
    return true;
}

KSManifest buildManifest(const UpdateFeed& feed, const std::list<KSConfigurationItem>& requested) {
    std::list<KSConfigurationItem> items;
    for (const KSConfigurationItem& request : requested) {
        const auto entry = feed.applications.find(request.getId().getValue());
        if (entry == feed.applications.end()) continue;
        const uint32_t installed = static_cast<uint32_t>(request.getNumber());
        std::list<KSDeliverable> deliverables;
        for (const FeedRelease& release : entry->second) {
            if (release.version <= installed) break;  // newest first: the rest are older
            KSFile file;
            file.setArguments(release.arguments);
            file.setDigest(release.digest);
            file.setMirrors(release.mirrors);
            KSDeliverable deliverable;
            deliverable.setName(release.label);
            deliverable.setFirstNumber(static_cast<int32_t>(release.version));
            deliverable.setFiles(std::list<KSFile>(1, file));
            deliverables.push_back(deliverable);
        }
        if (deliverables.empty()) continue;
        const FeedRelease& newest = entry->second.front();
        KSConfigurationItem item(request.getId(), static_cast<int32_t>(newest.version));
        item.setVersionlabel(newest.label);
        item.setDeliverables(deliverables);
        items.push_back(item);
    }
    KSManifest manifest;
    manifest.setConfigurationItems(items);
    return manifest;
}

}  // namespace kestrup_services
