-- The station's tables in their original shape: the columns the programs
-- name and nothing else (no id, no keys, ipwv with its value and time only,
-- the time a DATETIME, the tables MyISAM in latin1), with rows in every
-- table. Satellite 5 of minute 1 comes three times (td 1, 3, 5), satellite 6
-- once; ipwv holds minute 1 twice.
USE UlmetDB;
DROP TABLE troposphericDelay, gps, ipwv, pressure, temperature, humidity, radiance, raingauge;
CREATE TABLE troposphericDelay (latitude DOUBLE, longitude DOUBLE, height DOUBLE,
  latitudeErr DOUBLE, longitudeErr DOUBLE, heightErr DOUBLE, prn INT, elevation DOUBLE, td DOUBLE,
  data DATETIME) ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE gps (latitude DOUBLE, longitude DOUBLE, height DOUBLE, latitudeErr DOUBLE,
  longitudeErr DOUBLE, heightErr DOUBLE, elevation DOUBLE, data DATETIME)
  ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE ipwv (ipwv_value DOUBLE, data DATETIME) ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE pressure (pressure_value DOUBLE, data DATETIME) ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE temperature (temperature_value DOUBLE, data DATETIME)
  ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE humidity (humidity_value DOUBLE, data DATETIME) ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE radiance (radiance_value DOUBLE, data DATETIME) ENGINE=MyISAM DEFAULT CHARSET=latin1;
CREATE TABLE raingauge (raingauge_value DOUBLE, data DATETIME)
  ENGINE=MyISAM DEFAULT CHARSET=latin1;
INSERT INTO troposphericDelay (latitude, height, elevation, td, prn, data) VALUES
  (45.5, 80.5, 30, 1, 5, '2018-05-06 00:01:00'), (45.5, 80.5, 30, 2, 6, '2018-05-06 00:01:00'),
  (45.5, 80.5, 30, 3, 5, '2018-05-06 00:01:00'), (45.5, 80.5, 30, 4, 5, '2018-05-06 00:02:00'),
  (45.5, 80.5, 30, 5, 5, '2018-05-06 00:01:00');
INSERT INTO gps (latitude, elevation, data) VALUES (45.5, 30, '2018-05-06 00:01:00');
INSERT INTO ipwv VALUES
  (1.25, '2018-05-06 00:01:00'), (1.5, '2018-05-06 00:01:00'), (1.75, '2018-05-06 00:02:00');
INSERT INTO pressure VALUES (7.5, '2018-05-06 00:01:07'), (8.5, '2018-05-06 00:01:17');
INSERT INTO temperature VALUES (7.5, '2018-05-06 00:01:07'), (8.5, '2018-05-06 00:01:17');
INSERT INTO humidity VALUES (7.5, '2018-05-06 00:01:07'), (8.5, '2018-05-06 00:01:17');
INSERT INTO radiance VALUES (7.5, '2018-05-06 00:01:07'), (8.5, '2018-05-06 00:01:17');
INSERT INTO raingauge VALUES (7.5, '2018-05-06 00:01:07'), (8.5, '2018-05-06 00:01:17');
