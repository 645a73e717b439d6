// vendrel-view: plays a stream written by vendrel (compress types 1 and 2)
// back into pictures and sound, the way the player on the target would, and
// checks every structural rule of the stream on the way.
//
//   vendrel-view [options] STREAM
//
// Pictures leave as PNG files, raw RGB files or one YUV4MPEG2 stream at the
// display rate; sound as a WAV file; a summary and every violation found are
// printed on standard output. The command line (cli), the outputs and the
// report are modules of the viewer's library; this file runs them in order.

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "tools/common/child.h"
#include "tools/common/progress.h"
#include "tools/model/player_model.h"
#include "tools/view/cli.h"
#include "tools/view/movie.h"
#include "tools/view/outputs.h"
#include "tools/view/report.h"
#include "tools/view/stream_decoder.h"

int main(int argc, char** argv) {
    view::Settings settings;
    if (argc < 2 || !view::parseArguments(argc, argv, settings)) {
        view::usage();
        return view::EXIT_FAILED;
    }
    if (settings.help) {
        view::usage();
        return view::EXIT_CLEAN;
    }
    if (settings.version) {
        puts(view::VERSION);
        return view::EXIT_CLEAN;
    }

    std::vector<view::EarlierFrame> earlierFrames;
    if (!view::outputsAllowed(settings, &earlierFrames)) return view::EXIT_FAILED;

    const bool wantMovie = settings.video || settings.play;
    const view::MovieKind movieKind = settings.play ? view::MovieKind::Play : view::MovieKind::File;
    if (wantMovie && !view::movieProgramsPresent(movieKind)) return view::EXIT_NOT_CLEAN;

    proc::childStopOnSignals();
    const view::Buffering buffering = view::settleBuffering(settings);
    view::Playback playback;
    model::LayoutBuilder layoutBuilder;
    view::Summary summary;
    view::Outputs out;
    out.settings = &settings;
    out.layout = &layoutBuilder;
    out.layoutInto = &playback.layout;
    out.summary = &summary;
    out.earlierFrames = std::move(earlierFrames);
    if (!view::openOutputs(out)) {
        view::closeOutputs(out);
        view::removeOutputs(out);
        return view::EXIT_FAILED;
    }

    view::DecodeOptions options;
    options.pages = settings.pages;
    options.bootSize = settings.bootSize;
    options.quiet = out.y4mToStdout;
    view::Movie movie;
    if (wantMovie) {
        // The movie's own pass over the stream reports what it finds.
        if (!view::movieStart(&movie, movieKind, settings.video, settings.stream, options)) {
            view::closeOutputs(out);
            view::movieRemoveFile(&movie);
            view::removeOutputs(out);
            return view::EXIT_FAILED;
        }
        out.movie = &movie;
        options.quiet = true;
        progress::progressStart(&out.progress, 0.0);
        if (FILE* f = fopen(settings.stream, "rb")) {
            if (fseek(f, 0, SEEK_END) == 0) out.streamBytes = ftell(f);
            fclose(f);
        }
    }
    const view::Sink sink = view::outputSink(&out);
    const std::unique_ptr<view::Decoder> decoder = std::make_unique<view::Decoder>();
    const int result = view::decodeStream(decoder.get(), settings.stream, options, sink, summary);
    progress::progressEnd(&out.progress);
    bool outputsOk = view::closeOutputs(out);
    if (out.movie && !view::movieFinish(out.movie)) outputsOk = false;
    if (result >= 0 && outputsOk) {
        outputsOk = view::commitOutputs(out);
        if (out.movie && !view::movieCommit(out.movie)) outputsOk = false;
    }
    if (result < 0 || !outputsOk) {
        if (out.movie) view::movieRemoveFile(out.movie);
        view::removeOutputs(out);
        if (proc::childStopSignal() != 0) view::endBySignal(out);
        return view::EXIT_FAILED;
    }
    if (out.movie) view::movieReport(*out.movie);
    if (buffering.given) view::warnOnLikelyMode(settings, out.y4mToStdout, summary);
    if (out.y4mToStdout) return summary.problemTotal > 0 ? view::EXIT_NOT_CLEAN : view::EXIT_CLEAN;

    playback.layoutComplete = !layoutBuilder.malformed;
    playback.neededRate = model::neededRate(playback.layout);
    int late = 0;
    if (settings.rateKiB > 0.0) {
        playback.atRate = true;
        playback.result = model::simulate(playback.layout, settings.rateKiB * model::KIB);
        late = view::reportLate(settings, playback.result, options.maxReports);
    }
    if (settings.rateTable && !view::writeRateTable(settings.rateTable, playback)) {
        printf("cannot write the rate table %s\n", settings.rateTable);
        outputsOk = false;
    }
    const int lateViolations = settings.check ? late : 0;
    view::printSummary(settings, buffering, summary, lateViolations);
    view::printPlayback(settings, playback);
    if (!outputsOk) return view::EXIT_FAILED;
    return summary.problemTotal + lateViolations > 0 ? view::EXIT_NOT_CLEAN : view::EXIT_CLEAN;
}
