// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/sources/dpma/DpmaSource.h"

#include <algorithm>
#include <fstream>

#include "client/PartialStore.h"
#include "client/PublicationNumber.h"
#include "client/SafeFiles.h"
#include "client/SaveDocument.h"
#include "client/net/HttpExchange.h"
#include "client/sources/dpma/DpmaAnswer.h"
#include "client/sources/dpma/DpmaIds.h"
#include "util/Base64.h"
#include "util/Printable.h"

namespace kestrane {

namespace {

constexpr const char* kUserAgent = "Kestrane/" KESTRANE_VERSION;
const std::string kService = "/DPMAregisterPatService/";

// The request's extras: the Basic header travels on every request (no
// challenge is waited for) and is never echoed.
HttpExtra Extra(const DpmaConfig& config, bool rawText) {
    HttpExtra extra;
    extra.headers = {"Authorization: Basic " + base64::Encode(config.User + ":" + config.Password),
                     "Accept: application/pdf, application/xml;q=0.9, */*;q=0.5"};
    extra.rawText = rawText;
    extra.userAgent = kUserAgent;
    extra.maxFileBytes = kDpmaMaxDocument;
    extra.proxyEveryScheme = true;
    return extra;
}

// Refused credentials would be refused for every later number too, so the run ends.
Failure Refusal(const DpmaConfig& config, const std::string& said) {
    Failure f{FailureKind::AuthFailed, Printable(said)};
    f.endsRun = true;
    f.text = "DPMAconnectPlus refused the credentials of user \"" + Printable(config.User) + "\"" +
             (said.empty() ? "" : " (" + Printable(said) + ")") +
             ". Check the user name and password, that the account may fetch publications as "
             "PDF, and that this machine's address (or its network's) is the fixed address "
             "registered with the DPMA: DPMAconnectPlus answers only there. The run ends here.";
    return f;
}

// The first bytes of a saved answer, for judging it.
std::string Head(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string head(dpma::kMaxErrorBody, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

// One id, asked once; the exchange retries what failed on the line, and a
// 5xx answer reads as transient. resume: what file holds is continued.
Failure Ask(ClientContext& ctx, const DpmaConfig& config, const std::string& id,
            const std::string& file, bool resume, dpma::Answer& answer) {
    const std::string url = config.Base + kService + "getPatentpublikation_PDF/" + id;
    HttpExtra extra = Extra(config, true);
    extra.resumeFile = resume;
    std::string text;
    long status = 0;
    if (!resume)
        RemoveQuietly(file);
    if (Failure f = SendHttpRequest(ctx, "GET", url, "", text, file.c_str(), 1, &status, &extra)) {
        if (f.kind == FailureKind::TooLarge)
            f.detail = "a document over " + std::to_string(kDpmaMaxDocument >> 20) + " MiB";
        return f;
    }
    // A 206 reaches here only when it continued the kept file (client/net/HttpExchange.h).
    answer = dpma::Classify(resume && status == 206 ? 200 : status, Head(file));
    return {};
}

// The saved PDF into the save folder under the number's name.
Failure Save(ClientContext& ctx, const std::string& file, const std::string& name) {
    Failure f = SaveMergedDocument(ctx, {file}, name);
    RemoveQuietly(file);
    if (f && ctx.cancelRequested())
        f.kind = FailureKind::Cancelled;
    return f;
}

// Where one id's answer goes: with resume on, a kept download of the same
// id is continued (client/PartialStore.h); else a fresh file in the temp folder.
struct Download {
    Download(ClientContext& ctx, const std::string& name, const std::string& id)
        : partial(ctx.SaveFolder, "dpma", name, id),
          resume(ctx.Resume && partial.Open()),
          file(resume ? partial.Path() : ctx.TempFolder + name + ".dpma") {}
    // The answer was not the document, or it is saved: nothing is kept.
    void Drop() {
        RemoveQuietly(file);
        if (resume)
            partial.Finish();
    }
    // The download stopped short: with resume on, what came stays for the next run.
    void StoppedShort() {
        if (resume)
            partial.Keep();
        else
            RemoveQuietly(file);
    }
    PartialFile partial;
    bool resume;
    std::string file;
};

Failure FetchDocument(ClientContext& ctx, const DpmaConfig& config) {
    std::vector<std::string> ids = dpma::DocumentIds(ctx.CurrentNumber);
    const std::string name = CompactNumber(ctx.CurrentNumber);
    if (ids.empty())
        return {FailureKind::BadNumber, {}};
    // The id a kept part came by is asked first: asking another would drop it.
    if (ctx.Resume) {
        const std::string kept = PartialFile::KeptId(ctx.SaveFolder, "dpma", name);
        const auto it = std::find(ids.begin(), ids.end(), kept);
        if (it != ids.end())
            std::rotate(ids.begin(), it, it + 1);
    }
    if (Failure f = CheckDocumentName(ctx, name))
        return f;
    std::string said;  // DPMA's word on the last id asked
    for (const std::string& id : ids) {
        Download download(ctx, name, id);
        const std::string& file = download.file;
        dpma::Answer answer;
        if (Failure f = Ask(ctx, config, id, file, download.resume, answer)) {
            download.StoppedShort();
            return f;
        }
        switch (answer.verdict) {
            case dpma::Verdict::Pdf: {
                Failure f = Save(ctx, file, name);
                download.Drop();
                return f;
            }
            case dpma::Verdict::CredentialsRefused: {
                download.Drop();
                return Refusal(config, answer.message);
            }
            case dpma::Verdict::Transient:
                download.Drop();
                return {FailureKind::DownloadFailed, answer.message};
            case dpma::Verdict::Failed:
                if (!answer.fromXml) {
                    download.Drop();
                    return {FailureKind::DownloadFailed, Printable(answer.message)};
                }
                [[fallthrough]];
            case dpma::Verdict::NotFound:
                download.Drop();
                said = answer.message;
                ctx.progress(progress::kSearched + 10);
                break;
        }
    }
    return {FailureKind::NoPdf, said.empty() ? "not found" : Printable(said)};
}

}  // namespace

Failure DpmaSource::Open(ClientContext&) {
    return {};  // no session: every request carries the credentials
}

Failure DpmaSource::Find(ClientContext& ctx, FoundDocument& found) {
    const std::vector<std::string> ids = dpma::DocumentIds(ctx.CurrentNumber);
    if (ids.empty()) {
        Failure f{FailureKind::BadNumber, {}};
        f.text = Printable(ctx.CurrentNumber) +
                 ": not a number DPMAconnectPlus can ask for; it needs country, number and kind "
                 "code (e.g. DE19758096C2).";
        return f;
    }
    found.link = ids.front();
    found.pageCount = 0;
    return {};
}

Failure DpmaSource::Fetch(ClientContext& ctx, const FoundDocument&) {
    if (Failure f = FetchDocument(ctx, *config_))
        return f;
    ctx.progress(progress::kFull);
    return {};
}

std::function<std::unique_ptr<Source>()> DpmaSourceMaker(DpmaConfig config) {
    auto shared = std::make_shared<const DpmaConfig>(std::move(config));
    return [shared]() -> std::unique_ptr<Source> { return std::make_unique<DpmaSource>(shared); };
}

Failure TestDpmaConnection(const DpmaConfig& config, const std::atomic<bool>* abort) {
    ClientContext ctx;
    ctx.Abort = abort;
    const HttpExtra extra = Extra(config, true);
    std::string text;
    long status = 0;
    if (Failure f = SendHttpRequest(ctx, "GET", config.Base + kService + "version", "", text,
                                    nullptr, 0, &status, &extra))
        return f;
    const dpma::Answer answer = dpma::Classify(status, text);
    if (status == 200 && !text.empty() && text.size() < 200 && !text.starts_with("<"))
        return {};
    if (answer.verdict == dpma::Verdict::CredentialsRefused)
        return Refusal(config, answer.message);
    return {FailureKind::DownloadFailed,
            answer.message.empty() ? "HTTP " + std::to_string(status) : Printable(answer.message)};
}

}  // namespace kestrane
