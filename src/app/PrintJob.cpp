// The PRINT job's body: the chosen file (JPEG, bitmap or DICOM) becomes the picture of the
// film's first image box, then PrintSCU prints it.

#include "AppState.h"
#include "DcmObj.h"
#include "Diagnosis.h"
#include "DumpText.h"
#include "JobBodies.h"
#include "Log.h"
#include "Presentation.h"
#include "Print.h"
#include "Setup.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

// The extension with its dot, as the file name spells it; empty when there is none.
std::string extensionOf(const std::string& fileName) {
    std::size_t slash = fileName.find_last_of("/\\");
    std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return fileName.substr(dot);
}

// Millimetres of a picture printed at 300 pixels per inch.
float widthAt300Dpi(const QImage& picture) {
    return static_cast<float>(picture.width() * 25.4 / 300);
}

enum class Loaded { Ready, Failed, Unreadable };

// A bitmap of any depth through its palette: grey pictures (a grey palette, or grey pixels)
// become 8-bit grey levels, anything else 24-bit colour.
QImage filmForm(const QImage& picture) {
    if (picture.allGray())
        return picture.convertToFormat(QImage::Format_Grayscale8);
    return picture.convertToFormat(QImage::Format_BGR888);
}

Loaded loadDicom(const std::string& fileName, ImageBox& box, std::string& reason) {
    DcmObj dataSet;
    if (!DcmObj::Read(dataSet, fileName)) {
        LogMessage("ERROR: opening DICOM File");
        reason = Diagnosis::FileReason(fileName, Diagnosis::NotDicom);
        return Loaded::Unreadable;
    }
    const std::string syntax = dataSet.transferSyntax;
    if (!DcmObj::ConvertTransferSyntax(dataSet, ExplicitLittleEndian)) {
        // A blank film would pass for the picture: nothing is printed.
        LogMessage("ERROR: Converting Transfer Syntax");
        LogMessage("ERROR, PRINT, the pixel data of " + fileName + " in " + syntax +
                   " cannot be decoded");
        return Loaded::Failed;
    }
    float columns = dataSet.GetUShort(0x0028, 0x0011);
    float spacing = 0;
    std::string modality = dataSet.GetString(0x0008, 0x0060);
    if (modality == "CR" || modality == "DX")
        if (const DcmTag* imager = dataSet.GetTag(0x0018, 0x1164))
            spacing = imager->GetFloatAt(0);
    if (spacing == 0)
        if (const DcmTag* pixel = dataSet.GetTag(0x0028, 0x0030))
            spacing = pixel->GetFloatAt(0);
    box.RequestedWidth = columns * spacing;
    if (!RenderToBitmap(box.Picture, dataSet)) {
        LogMessage("ERROR, PRINT, the image of " + fileName + " (" +
                   dataSet.GetString(0x0028, 0x0004) + ", " +
                   std::to_string(dataSet.GetUShort(0x0028, 0x0100)) +
                   " bits allocated) cannot be drawn");
        return Loaded::Failed;
    }
    return Loaded::Ready;
}

Loaded loadPicture(const std::string& fileName, ImageBox& box, std::string& reason) {
    const std::string ext = extensionOf(fileName);
    const bool picture = ext == ".jpg" || ext == ".JPG" || ext == ".bmp" || ext == ".BMP";
    std::error_code error;
    // Opening a named pipe would wait for a writer; the DICOM reader checks for itself.
    if (picture && std::filesystem::exists(fileName, error) &&
        !std::filesystem::is_regular_file(fileName, error)) {
        LogMessage("ERROR, PRINT, not a regular file: " + fileName);
        return Loaded::Failed;
    }
    if (ext == ".jpg" || ext == ".JPG") {
        QImage picture;
        if (!LoadJpegPicture(fileName, picture)) {
            reason = Diagnosis::FileReason(
                fileName, "cannot be decoded: it holds no 8-bit grey or colour JPEG picture");
            return Loaded::Failed;
        }
        box.Picture = std::move(picture);
        box.RequestedWidth = widthAt300Dpi(box.Picture);
        return Loaded::Ready;
    }
    if (ext == ".bmp" || ext == ".BMP") {
        QImage picture;
        if (!picture.load(QString::fromStdString(fileName), "BMP")) {
            LogMessage("ERROR, PRINT, cannot load the bitmap file " + fileName);
            reason = Diagnosis::FileReason(fileName, "cannot be decoded as a bitmap picture");
            return Loaded::Failed;
        }
        box.Picture = filmForm(picture);
        box.RequestedWidth = widthAt300Dpi(box.Picture);
        return Loaded::Ready;
    }
    return loadDicom(fileName, box, reason);
}

} // namespace

JobOutcome PrintJob(JobContext& job) {
    const SettingsRecord& s = job.Inputs.Settings;
    FilmBox filmBox;
    filmBox.Columns = 1;
    filmBox.Rows = 1;
    filmBox.FilmDestination = std::string(ItemText(FilmDestinationItems, s.FilmDestinationIndex));
    filmBox.FilmOrientation = std::string(ItemText(FilmOrientationItems, s.FilmOrientationIndex));
    filmBox.FilmSizeID = std::string(ItemText(FilmSizeItems, s.FilmSizeIndex));
    filmBox.MagnificationType = std::string(ItemText(MagnificationItems, s.MagnificationIndex));

    ImageBox& box = filmBox.ImageBoxes.front();
    switch (loadPicture(job.Inputs.FileName, box, job.Reason)) {
    case Loaded::Unreadable:
        // The same words as the dump's.
        job.Reason = DumpUnreadableReason(job.Inputs.FileName).substr(std::strlen("Reason: "));
        return JobOutcome::Failed;
    case Loaded::Failed:
        // A picture that cannot be decoded is not printed as a blank film that looks like success.
        return JobOutcome::Failed;
    case Loaded::Ready:
        break;
    }
    const bool colour = box.Picture.depth() != 8;
    int result =
        PrintSCU(filmBox, SettingsText(s.LocalAET), SettingsText(s.RemoteAET),
                 SettingsText(s.RemoteHost), SettingsText(s.RemotePort), colour, &job.Reason);
    const std::size_t boxes =
        static_cast<std::size_t>(filmBox.Columns) * static_cast<std::size_t>(filmBox.Rows);
    job.ResultDetail =
        ", film " +
        (filmBox.FilmSizeID.empty() ? std::string("of the printer's size") : filmBox.FilmSizeID) +
        ", " + std::to_string(boxes) + (boxes == 1 ? " image box" : " image boxes");
    return result == 0 ? JobOutcome::Succeeded : JobOutcome::Failed;
}

void RegisterServiceJobBodies(JobBodyTable& table) {
    RegisterNetworkJobBodies(table);
    table.Register("PRINT", PrintJob);
}
