"""Reads a recording back from the depot with an independent client (boto3): every file the
manifest names must be there with the manifest's size and SHA-256, by content and metadata.
Usage: check_with_boto3.py ENDPOINT BUCKET KEY_PREFIX; exit 0 when all of it matches."""
import hashlib
import json
import sys

import boto3
import botocore.config

endpoint, bucket, prefix = sys.argv[1:4]
s3 = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                  aws_access_key_id="depot:uploader", aws_secret_access_key="depot-secret",
                  config=botocore.config.Config(s3={"addressing_style": "path"},
                                                retries={"max_attempts": 1}))
listed = {o["Key"]: o["Size"] for o in
          s3.list_objects_v2(Bucket=bucket, Prefix=prefix).get("Contents", [])}
manifest = json.loads(s3.get_object(Bucket=bucket, Key=prefix + "manifest.json")["Body"].read())
failures = []
for f in manifest["files"]:
    key = prefix + f["name"]
    body = s3.get_object(Bucket=bucket, Key=key)["Body"].read()
    meta = s3.head_object(Bucket=bucket, Key=key)["Metadata"]
    if listed.get(key) != f["size"] or len(body) != f["size"]:
        failures.append("size of " + key)
    if hashlib.sha256(body).hexdigest() != f["sha256"] or meta.get("sha256") != f["sha256"]:
        failures.append("checksum of " + key)
print(json.dumps({"files": len(manifest["files"]), "frames": manifest["frame_count"],
                  "failures": failures}))
sys.exit(1 if failures else 0)
