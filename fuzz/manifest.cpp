// The release manifest as a mirror serves it, parsed by ReleaseManifest. The signature check comes
// first, but the parser must not rely on it. Besides crashes it catches a parsed manifest whose
// text does not parse again to the same manifest, a written line that the input does not hold (each
// field has one spelling, so the writer can only drop lines and reorder them), a listed file that
// its path does not find, a patch whose target is not listed, and a failed parse that leaves
// anything behind.

#include "fuzzsupport.h"
#include "releasemanifest.h"

using FuzzSupport::check;

namespace {

bool holdsLine(QByteArrayView input, QByteArrayView line)
{
    const QByteArray whole = line.toByteArray() + '\n';
    return input.startsWith(whole) || input.contains(QByteArray('\n' + whole));
}

void checkWrittenLines(QByteArrayView input, const QByteArray& written)
{
    qsizetype start = 0;
    for (qsizetype end = written.indexOf('\n'); end >= 0; end = written.indexOf('\n', start)) {
        check(holdsLine(input, QByteArrayView(written).sliced(start, end - start)),
              "a written line is not in the input");
        start = end + 1;
    }
    check(start == written.size(), "the written text does not end in a line feed");
}

void checkParsed(QByteArrayView input, const ReleaseManifest& manifest)
{
    check(manifest.errorString().isEmpty(), "a parsed manifest has an error text");
    for (const ReleaseManifestFile& file : manifest.files())
        check(manifest.file(file.path) == &file, "a listed file is not found by its path");
    for (const ReleaseManifestPatch& patch : manifest.patches()) {
        check(manifest.patch(patch.target, patch.sourceSha256) == &patch,
              "a listed patch is not found by its target and source");
        check(manifest.file(patch.target) != nullptr, "a patch's target is not a listed file");
    }
    const QByteArray written = manifest.toText();
    checkWrittenLines(input, written);
    ReleaseManifest again;
    check(again.parse(written), "the written text does not parse");
    check(again == manifest, "the written text parses to another manifest");
    check(again.toText() == written, "the written text changes when written again");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input = FuzzSupport::bytes(data, size);
    ReleaseManifest manifest;
    if (manifest.parse(input)) {
        checkParsed(input, manifest);
    } else {
        check(!manifest.errorString().isEmpty(), "a failed parse has no error text");
        check(manifest == ReleaseManifest() && manifest.files().isEmpty(),
              "a failed parse leaves content behind");
    }
    return 0;
}
