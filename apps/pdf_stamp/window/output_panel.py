"""The output panel: the chosen mark's page rules, the output folder, and
writing the stamped files in worker processes while the window stays live."""

import flet as ft

from pdf_stamp import naming, stamping
from pdf_stamp.i18n import _
from pdf_stamp.exceptions import UsageError
from pdf_stamp.window import results, workers
from pdf_stamp.window.context import ERROR
from pdf_stamp.window.jobs import mark_job, run_job


class OutputPanel:
    def __init__(self, ctx):
        self.ctx = ctx
        self.executor = None
        def blur(e):  # the pages a mark lands on change what the preview shows
            ctx.remember()
            ctx.show_outline()

        self.target_pages = ft.TextField(label=_("Pages to stamp (e.g. 1,3-5,last,odd)"), value="1",
                                         width=260, dense=True, on_blur=blur)
        self.page_interval = ft.TextField(label=_("Every N pages"), width=140, dense=True, on_blur=blur)
        self.save_path = ft.TextField(label=_("Output folder (empty: the working folder)"), expand=True,
                                      dense=True, on_blur=blur)
        self.allow_rewrite = ft.Checkbox(label=_("Also write signed PDFs (their signatures become invalid)"))
        self.output_button = ft.FilledButton(_("Write PDFs"), icon=ft.Icons.SAVE, on_click=self.on_output)
        self.progress = ft.ProgressRing(width=28, height=28, color=ft.Colors.ORANGE_700, visible=False)
        self.progress_text = ft.Text("", visible=False)
        picker = ft.FilePicker(on_result=self.on_folder_picked)
        ctx.page.overlay.append(picker)
        self.view = ft.Column([
            ft.Text(_("4. Output"), weight=ft.FontWeight.BOLD),
            ft.Row([self.target_pages, self.page_interval]),
            ft.Row([self.save_path, ft.ElevatedButton(
                _("Choose a folder"), icon=ft.Icons.FOLDER_OPEN,
                on_click=lambda e: picker.get_directory_path(dialog_title=_("Choose the output folder")))]),
            self.allow_rewrite,
            ft.Row([self.output_button, self.progress, self.progress_text]),
        ], spacing=10)

    def values(self):
        return {"pages": self.target_pages.value or "", "every": self.page_interval.value or "",
                "out_dir": self.save_path.value or ""}

    def on_folder_picked(self, e):
        ctx = self.ctx
        ctx.call(ctx.pdf_module.select_directory, e, self.save_path)
        ctx.remember()

    def job(self):
        """The run the fields describe now: the marks in order, as a marks file
        gives them to the command line. Raises UsageError for a mark that
        cannot be stamped."""
        return run_job(self.ctx.values(), allow_rewrite=bool(self.allow_rewrite.value),
                       pdf_password=self.ctx.pdf_password)

    def signing_job(self):
        """The chosen mark alone, as the seal of a signature. Raises
        UsageError for a mark that cannot be stamped."""
        values = self.ctx.values()
        job = mark_job(values)
        job.allow_rewrite, job.out_dir = bool(self.allow_rewrite.value), values["out_dir"]
        job.pdf_password = self.ctx.pdf_password
        return job

    def apply(self, values):
        """Takes the output folder of a whole set of settings."""
        self.save_path.value = values["out_dir"]

    def apply_mark(self, mark):
        """Takes a mark's page rules."""
        self.target_pages.value, self.page_interval.value = mark["pages"], mark["every"]

    def busy(self, running, text=""):
        self.output_button.disabled = running
        self.progress.visible = self.progress_text.visible = running
        self.progress_text.value = text
        self.ctx.page.update()

    def progress_line(self, done, count):
        return _("Writing… ({done} / {count})").format(done=done, count=count)

    def on_output(self, e):
        ctx = self.ctx
        sources = ctx.sources()
        if not sources:
            return ctx.tell(ERROR + _("No PDF is chosen"))
        ctx.remember()
        try:
            job = self.job()
        except UsageError as error:
            return ctx.tell(ERROR + str(error))
        self.busy(True, self.progress_line(0, len(sources)))
        done = []
        try:
            wanted = naming.plan_names(sources, job.out_dir, job.suffix)
            if self.executor is None:  # started on the first output
                self.executor = workers.pool()
            futures = [self.executor.submit(stamping.stamp_file, job, source, name)
                       for source, name in zip(sources, wanted)]
            for future in futures:
                done.append(future.result())
                self.progress_text.value = self.progress_line(len(done), len(sources))
                self.progress_text.update()
        except Exception as ex:  # a worker that died, a folder that cannot be listed
            self.shutdown(wait=False)
            self.busy(False)
            ctx.tell(ERROR + _("Could not write the output: {reason}").format(reason=ex))
            return
        self.busy(False)
        results.show(ctx, done)

    def shutdown(self, wait=True):
        """Ends the worker processes; with `wait`, after they have finished and
        cleaned up the file in hand."""
        executor, self.executor = self.executor, None
        if executor is not None:
            executor.shutdown(wait=wait, cancel_futures=True)
