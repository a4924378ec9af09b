"""Every link between the site's pages that names a section (page.md#section) finds that
section in the built site (mkdocs checks the pages, not the sections).

Usage: docs_links_test.py DOCS_DIR SITE_DIR
"""
import glob
import os
import re
import sys


def main():
    docs, site = sys.argv[1], sys.argv[2]
    faults = []
    for source in glob.glob(os.path.join(docs, "**", "*.md"), recursive=True):
        relative = os.path.relpath(source, docs)
        text = open(source, encoding="utf-8").read()
        for target, section in re.findall(r"\]\(([^)\s#]*\.md|)#([^)\s]+)\)", text):
            page = os.path.normpath(os.path.join(os.path.dirname(relative), target)) if target else relative
            built = os.path.join(site, page[:-3] + ".html")
            if not os.path.exists(built):
                faults.append(f"{relative}: {target}#{section}: no page {built}")
                continue
            if f'id="{section}"' not in open(built, encoding="utf-8").read():
                faults.append(f"{relative}: {target}#{section}: no such section")
    if faults:
        sys.exit("FAIL:\n" + "\n".join(faults))
    print("every section link found")


if __name__ == "__main__":
    main()
