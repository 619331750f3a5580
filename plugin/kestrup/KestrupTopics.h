#pragma once

// Topics the component listens on and talks to.
namespace kestrup_topics {

// The component's own topics; requests and the launcher's answers arrive here.
constexpr const char* ServiceTopic = "event://Client/Service/Kestrup";
constexpr const char* ComponentTopic = "target://Client/Component/Kestrup";
// The installer launcher's topic.
constexpr const char* ProcessExecuteTopic = "event://Client/Service/ProcessExecute";
// The backend; its "UpdateManifest" answer comes back on ComponentTopic.
constexpr const char* BackendTopic = "event://Backend/Kestrup";
// Download outcomes go to this prefix followed by the download's session id.
constexpr const char* StatusTopicPrefix = "event://Client/Service/KestrupStatus/";

}  // namespace kestrup_topics
