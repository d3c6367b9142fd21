-- Database of the GNSS meteorology station.
--
-- Every table carries the date-time text `data` ("YYYY-MM-DD HH:MM:SS",
-- 19 characters). The retrieval program finds the rows of a minute by
-- `data = 'YYYY-MM-DD HH:MM:00'` and by `data LIKE 'YYYY-MM-DD HH:MM%'`;
-- a binary-collated text column with an index serves both from the index
-- (a DATETIME column could not serve the LIKE prefix). The id keeps the
-- order in which rows arrived.
--
-- Safe to run again on an existing database: nothing is dropped.
--
-- troposphericDelay holds one row per minute and satellite: the unique key
-- on (data, prn) makes storing a row idempotent, so a row sent twice (a
-- replay cut by a crash, a connection lost after the statement was sent)
-- is refused as a duplicate instead of stored twice; ipwv likewise holds
-- one row per minute; pressure, temperature and humidity hold one row per
-- date-time, so that importing a file again stores nothing twice.
-- scripts/install-db brings a table made by an earlier version to
-- exactly these definitions (see upgrade_table there), moving
-- later copies of a row to <table>_duplicates.

CREATE DATABASE IF NOT EXISTS UlmetDB;
USE UlmetDB;

CREATE TABLE IF NOT EXISTS troposphericDelay (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  latitude DOUBLE,
  longitude DOUBLE,
  height DOUBLE,
  latitudeErr DOUBLE,
  longitudeErr DOUBLE,
  heightErr DOUBLE,
  prn INT,
  elevation DOUBLE,
  td DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  INDEX idx_troposphericDelay_data (data),
  UNIQUE KEY uq_troposphericDelay_data_prn (data, prn)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS gps (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  latitude DOUBLE,
  longitude DOUBLE,
  height DOUBLE,
  latitudeErr DOUBLE,
  longitudeErr DOUBLE,
  heightErr DOUBLE,
  elevation DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  INDEX idx_gps_data (data)
) ENGINE=InnoDB;

-- ipwv: the value (cm), its uncertainty from the input measurements (cm),
-- and its provenance: the elevation (degrees) and PRN of the satellite
-- whose row was used, the number of satellite rows of the minute, and the
-- weather readings it was computed from (hPa, degrees Celsius as stored,
-- percent). These are NULL in rows stored before they existed.
CREATE TABLE IF NOT EXISTS ipwv (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  ipwv_value DOUBLE,
  ipwv_sigma DOUBLE NULL,
  elevation DOUBLE NULL,
  prn INT NULL,
  satellites INT NULL,
  pressure DOUBLE NULL,
  temperature DOUBLE NULL,
  humidity DOUBLE NULL,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  UNIQUE KEY uq_ipwv_data (data)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS pressure (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  pressure_value DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  UNIQUE KEY uq_pressure_data (data)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS temperature (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  temperature_value DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  UNIQUE KEY uq_temperature_data (data)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS humidity (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  humidity_value DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  UNIQUE KEY uq_humidity_data (data)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS radiance (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  radiance_value DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  INDEX idx_radiance_data (data)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS raingauge (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  raingauge_value DOUBLE,
  data CHAR(19) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
  INDEX idx_raingauge_data (data)
) ENGINE=InnoDB;
