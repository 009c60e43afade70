#pragma once
// Basic grayscale and colour print management, service class user: film session, film box,
// image box, print action and deletion over one association.

#include "PDU_Service.h"

#include <QImage>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* GrayscalePrintMetaSopClass = "1.2.840.10008.5.1.1.9";
inline constexpr const char* ColorPrintMetaSopClass = "1.2.840.10008.5.1.1.18";
inline constexpr const char* FilmSessionSopClass = "1.2.840.10008.5.1.1.1";
inline constexpr const char* FilmBoxSopClass = "1.2.840.10008.5.1.1.2";
inline constexpr const char* ColorImageBoxSopClass = "1.2.840.10008.5.1.1.4.1";
inline constexpr int PrintReadTimeoutSeconds = 100;
inline constexpr std::size_t ImageBoxesPerFilm = 24;
// The result of PrintSCU when the film was not printed.
inline constexpr int PrintFailed = 258;

// Normalized command fields.
inline constexpr uint16_t NSetRQ = 0x0120, NActionRQ = 0x0130, NCreateRQ = 0x0140,
                          NDeleteRQ = 0x0150;
inline constexpr uint16_t NSetRSP = 0x8120, NActionRSP = 0x8130, NCreateRSP = 0x8140,
                          NDeleteRSP = 0x8150;

struct ImageBox {
    // Millimetres; 0 sends no requested size.
    float RequestedWidth = 0;
    std::string SOPInstanceUID;
    std::string SOPClassUID;
    // A blank 100 x 100 grey bitmap until the job loads the image.
    QImage Picture;

    ImageBox();
};

struct FilmBox {
    std::string FilmSessionUID;
    std::string FilmBoxUID;
    std::string ImageDisplayFormat;
    std::string MagnificationType;
    int32_t Rows = 1;
    int32_t Columns = 1;
    std::vector<ImageBox> ImageBoxes = std::vector<ImageBox>(ImageBoxesPerFilm);
    std::string FilmOrientation;
    std::string FilmSizeID;
    std::string FilmDestination;
    std::string MediumType;
    std::string FilmSessionLabel;
    float Gamma = 1.0f;
};

// The texts of the film session request, in the order they are sent.
struct FilmSessioncfg {
    std::string NumberOfCopies;
    std::string PrintPriority;
    std::string MediumType;
    std::string FilmDestination;
    std::string FilmSessionLabel;
};

// Every 8-bit sample sent to the printer goes through this table.
using PrintLutTable = std::array<int, 256>;
// Rebuilds the process-wide table for gamma; print jobs running at once share it.
void BuildPrintLut(float gamma);
// A copy of the current table.
PrintLutTable PrintLut();

// The command set of an N-CREATE, N-SET, N-ACTION or N-DELETE request (message ID drawn from
// the counter). actionType < 0: no Action Type ID. hasDataSet decides the N-ACTION's data set
// type; the others have a fixed one. An N-CREATE names its instance only when one is given.
std::unique_ptr<DcmObj> NRequestCommand(uint16_t commandField, const std::string& sopClassUid,
                                        const std::string& instanceUid, bool hasDataSet,
                                        int actionType);

// Sends the request's command set, then the data set when one is given and has elements.
bool WriteNRequest(PDU_Service& service, uint16_t commandField, const std::string& sopClassUid,
                   const std::string& instanceUid, DcmObj* dataSet, int actionType = -1);
// Reads a response of the expected command field with status 0 (any other status fails), and
// its data set into dataSet when one follows and dataSet is given. instanceUid: the Affected
// SOP Instance UID, empty when absent.
// reason, when given, is set to why it failed, the operation ("Film Box N-CREATE") named;
// request supplies the values of the attributes a refusal names.
bool ReadNResponse(PDU_Service& service, uint16_t expectedCommand, DcmObj* dataSet,
                   std::string& instanceUid, std::string* reason = nullptr,
                   const std::string& operation = {}, const DcmObj* request = nullptr);

// The steps of a print; reason, when given, is set to why the step failed.
bool CreateFilmSession(PDU_Service& service, FilmBox& filmBox, const FilmSessioncfg& config,
                       std::string* reason = nullptr);
// Also takes the image box references of the response into filmBox.ImageBoxes, in order.
bool CreateFilmBox(PDU_Service& service, FilmBox& filmBox, std::string* reason = nullptr);
bool SetImageBox(PDU_Service& service, ImageBox& imageBox, uint16_t position,
                 std::string* reason = nullptr);
bool SetImages(PDU_Service& service, FilmBox& filmBox, std::string* reason = nullptr);
bool PrintFilmBox(PDU_Service& service, FilmBox& filmBox, std::string* reason = nullptr);
bool DeleteFilmSession(PDU_Service& service, FilmBox& filmBox, std::string* reason = nullptr);

// Appends the image pixel module of the bitmap (grey, or planar RGB when colour), every sample
// through the print LUT. False for an empty bitmap or one too large for 16-bit rows/columns.
bool BitmapToPixelData(const QImage& bitmap, DcmObj& dataSet, bool colour);

// A requested image size in millimetres as the printer takes it: at most one decimal, a full
// stop, no leading zero, no ".0" ("101.6", "200", ".5").
std::string FormatRequestedSize(float millimetres);

// Prints the film box: 0 when the print action succeeded, PrintFailed otherwise. Always plain
// TCP; the association is released on every path.
// reason, when given, is set to why the film was not printed.
int PrintSCU(FilmBox& filmBox, const std::string& localAET, const std::string& remoteAET,
             const std::string& host, const std::string& port, bool colour,
             std::string* reason = nullptr);

// Decodes a JPEG file into an 8-bit grey (one component) or 24-bit colour bitmap. False, with
// a log line, when the file cannot be read or decoded.
bool LoadJpegPicture(const std::string& fileName, QImage& picture);
