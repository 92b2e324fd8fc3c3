"""The yardstick for bench_depot_upload: uploads every regular file of a folder with boto3's
own transfer manager (parts of 8 MiB above 8 MiB, its default parallel part uploads unless
--concurrency says otherwise) and prints one JSON line: bytes, files, wall seconds and the
process's user and system CPU seconds over the upload alone (interpreter start not counted).
Usage: depot_boto3_upload.py ENDPOINT BUCKET PREFIX FOLDER [--concurrency N]"""
import json
import os
import resource
import sys
import time

import boto3
import botocore.config
from boto3.s3.transfer import TransferConfig

MIB = 1024 * 1024


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    endpoint, bucket, prefix, folder = argv[1:5]
    transfer = {"multipart_threshold": 8 * MIB, "multipart_chunksize": 8 * MIB}
    if "--concurrency" in argv:
        transfer["max_concurrency"] = int(argv[argv.index("--concurrency") + 1])
    config = TransferConfig(**transfer)
    s3 = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                      aws_access_key_id="depot:uploader", aws_secret_access_key="depot-secret",
                      config=botocore.config.Config(s3={"addressing_style": "path"},
                                                    retries={"max_attempts": 3},
                                                    max_pool_connections=max(10, transfer.get("max_concurrency", 10))))
    names = sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))
    total = sum(os.path.getsize(os.path.join(folder, n)) for n in names)

    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.monotonic()
    for name in names:
        s3.upload_file(os.path.join(folder, name), bucket, prefix + name, Config=config)
    seconds = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"bytes": total, "files": len(names), "seconds": seconds,
                      "user_s": after.ru_utime - before.ru_utime, "sys_s": after.ru_stime - before.ru_stime,
                      "concurrency": config.max_request_concurrency}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
