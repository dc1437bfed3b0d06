#include "client/ClientContext.h"

namespace kestrane {

int ClientContext::FailDocument(FailureKind kind) {
    if (cancelRequested()) {
        failure = Failure{FailureKind::Cancelled, {}};
        return 0;
    }
    Fail(kind);
    failure.document = true;
    return 0;
}

std::string NormalServerBase(std::string base) {
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base.empty() ? std::string(kDefaultServerBase) : base;
}

namespace paths {

namespace fs = std::filesystem;

fs::path MergedFile(const std::string& saveFolder, const std::string& name) {
    return fs::path(saveFolder) / (name + ".pdf");
}

fs::path PageFile(const std::string& tempFolder, const std::string& name, long page) {
    return fs::path(tempFolder) / (name + "_" + std::to_string(page) + ".pdf");
}

fs::path PartialMerge(const std::string& tempFolder, const std::string& name) {
    return fs::path(tempFolder) / (name + ".merge.pdf");
}

fs::path RunLog(const std::string& saveFolder) {
    return fs::path(saveFolder) / "dl.log";
}

}  // namespace paths

}  // namespace kestrane
