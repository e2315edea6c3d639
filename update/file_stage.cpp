#include "file_stage.h"

#include "file_check.h"
#include "int16.h"
#include "line_transfer.h"
#include "run_context.h"

void FileStage(RunContext& run) {
    FormVariables& vars = run.vars;
    const QString path = run.window.Text(Control::Text1);
    run.region = FailureRegion::FileOpen;
    run.Status(QStringLiteral("Opening ") + path + QStringLiteral("."));
    // Checked before the port was opened; a file changed since, while the datalogger was
    // restarted, is not the file the user was shown.
    if (CheckUpdateFile(path).sha256 != run.checkedSha256) {
        throw Failure(path + QStringLiteral(": the file changed after it was checked"));
    }
    run.file.Open(path);
    run.region = FailureRegion::Download;

    // The counting pass. The count is 16-bit: a file of more than 32,767 lines overflows
    // here, before anything is sent.
    vars.LinesRemaining = 0;
    while (!run.file.AtEnd()) {
        run.file.SkipLine();
        if (vars.LinesRemaining == 32767) {
            throw Failure(path + QStringLiteral(": more than 32,767 lines; an update file holds at "
                                                "most 32,767"));
        }
        vars.LinesRemaining = AddChecked16(vars.LinesRemaining, 1);
    }
    vars.LinesRemaining = AddChecked16(vars.LinesRemaining, -1);
    vars.TotalLines = vars.LinesRemaining;
    run.file.Rewind();

    TransferLines(run);
}
