"""The desktop window (`pdf-stamp-window`): a flet window over pdf_module."""
