// The software card's image loader: any file content through LoadCardImage (and the JSON parser behind it).
// A loaded image must write back to JSON that loads again to the same text.
#include "core/card_image.h"
#include "fuzz_support.h"

using namespace rv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const auto file = fuzz::WorkDir() / "card.json";
    const std::string bytes = fuzz::Bytes(data, size);
    fuzz::WriteFile(file, bytes);

    softcard::CardImage image;
    image.managePassword = "untouched";
    std::string error;
    bool ok = softcard::LoadCardImage(file, image, error);
    if (!ok) {
        RV_FUZZ_CHECK(!error.empty());
        RV_FUZZ_CHECK(image.managePassword == "untouched"); // left unchanged on failure
        return 0;
    }
    const std::string json = softcard::CardImageToJson(image);
    softcard::CardImage again;
    std::string error2;
    RV_FUZZ_CHECK(softcard::CardImageFromJson(json, again, error2));
    RV_FUZZ_CHECK(softcard::CardImageToJson(again) == json);
    return 0;
}
